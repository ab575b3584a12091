// The version gate: before an update is installed, the version recorded in
// the installed copy's header is compared with the update's own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>
#include <sys/types.h>

inline constexpr std::size_t VERSION_TEXT_SIZE = 20;
inline constexpr std::size_t VERSION_DIGITS_SIZE = 32;
inline constexpr std::size_t HEADER_LINE_SIZE = 2048;

inline constexpr std::string_view VERSION_KEY = "VERSION";
inline constexpr std::string_view HEADER_END_KEY = "DGD_END";

// A version token as found in a header, full stops included, terminated.
using VersionText = std::array<char, VERSION_TEXT_SIZE>;

struct VersionTexts {
    VersionText update_text;
    VersionText installed_text;
};

// Both tokens of the last gate call, for the already-current message.
extern VersionTexts version_texts;

// Reads the token behind the key "VERSION": blanks are skipped, then the
// longest run of digits and full stops is the token. Returns its digits,
// joined, as a number clamped to INT32_MAX; 0 means no usable version,
// which covers an empty token and one longer than VERSION_TEXT_SIZE - 1
// characters. text_out receives the token (empty when too long); digits_out
// its digits; both are terminated.
std::int32_t parse_version_token(std::string_view after_key,
                                 std::span<char, VERSION_TEXT_SIZE> text_out,
                                 std::span<char, VERSION_DIGITS_SIZE> digits_out);

// Version value of a plain dictionary header, read line by line from stream
// until the first line holding "VERSION", a line holding "DGD_END", or the
// end. 0 when there is no usable version. text_out is always terminated.
std::int32_t scan_installed_header(std::FILE* stream, std::span<char, VERSION_TEXT_SIZE> text_out);

// Version value found in the first read of an update, n bytes at block
// (n <= 0 for a failed read), decoded first when encoded is true. 0 when the
// key is missing or its token is not usable. text_out is always terminated.
std::int32_t search_update_block(const unsigned char* block, ssize_t n, bool encoded,
                                 std::span<char, VERSION_TEXT_SIZE> text_out);

// True when the copy at installed_path has a version at least that of the
// update at update_path. Any doubt (a file missing or unreadable, no usable
// version) answers false. Fills version_texts along the way.
bool installed_is_current(const char* update_path, const char* installed_path);
