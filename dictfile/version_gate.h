// The version gate's rules: a version token, its value, and how two compare.
// Before an update is installed, the version recorded in the installed
// copy's header is compared with the update's own.
#pragma once

#include "header_keys.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <sys/types.h>

inline constexpr std::size_t VERSION_TEXT_SIZE = 20;
inline constexpr std::size_t VERSION_DIGITS_SIZE = 32;
inline constexpr std::size_t HEADER_LINE_SIZE = 2048;

// A version token as found in a header, full stops included, terminated.
using VersionText = std::array<char, VERSION_TEXT_SIZE>;

// The digits of a token joined into one number. A usable token has at most
// VERSION_TEXT_SIZE - 1 characters, so the value is exact and two versions
// compare as their digit strings would: leading zeros aside, the longer is
// the newer, then the first digit that differs decides.
using VersionValue = std::uint64_t;
static_assert(VERSION_TEXT_SIZE - 1 <= 19, "19 digits always fit a VersionValue");

struct VersionTexts {
    VersionText update_text;
    VersionText installed_text;
};

// Reads the token behind the key "VERSION": blanks are skipped, then the
// longest run of digits and full stops is the token. Returns its digits,
// joined, as a number; 0 means no usable version,
// which covers an empty token and one longer than VERSION_TEXT_SIZE - 1
// characters. text_out receives the token (empty when too long); digits_out
// its digits; both are terminated.
VersionValue parse_version_token(std::string_view after_key,
                                 std::span<char, VERSION_TEXT_SIZE> text_out,
                                 std::span<char, VERSION_DIGITS_SIZE> digits_out);

// parse_version_token on what follows the "VERSION" that starts at text[key].
VersionValue version_behind(std::string_view text, std::size_t key,
                            std::span<char, VERSION_TEXT_SIZE> text_out);

// Version value found in the first read of an update, n bytes at block
// (n <= 0 for a failed read), decoded first when encoded is true. 0 when the
// key is missing or its token is not usable. text_out is always terminated.
VersionValue search_update_block(const unsigned char* block, ssize_t n, bool encoded,
                                 std::span<char, VERSION_TEXT_SIZE> text_out);

// The gate's answer: the installed copy is at least as new as the update.
// Any doubt (no usable version on either side) answers false.
inline bool is_current(VersionValue installed, VersionValue update) {
    return installed != 0 && update != 0 && installed >= update;
}
