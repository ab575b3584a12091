// The version gate: before an update is installed, the version recorded in
// the installed copy's header is compared with the update's own.
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
// Chunks of the installed copy's header scan; a copy without a header is
// read to its end through a buffer of this size, small enough that what a
// read brings in is still in the processor's cache when it is searched.
inline constexpr std::size_t HEADER_CHUNK_SIZE = std::size_t{128} * 1024;

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

// Version value of a plain dictionary header, read from fd's offset on. Read
// as lines in a HEADER_LINE_SIZE buffer (a longer line in pieces, each
// searched up to its first zero byte), the first piece holding "VERSION"
// gives the version, a piece holding "DGD_END" or the end of the file ends
// the header. 0 when there is no usable version or a read fails. buffer
// holds the chunks read, at least HEADER_LINE_SIZE bytes. text_out is
// always terminated.
VersionValue scan_installed_header(int fd, std::span<char> buffer,
                                   std::span<char, VERSION_TEXT_SIZE> text_out);

// Version value found in the first read of an update, n bytes at block
// (n <= 0 for a failed read), decoded first when encoded is true. 0 when the
// key is missing or its token is not usable. text_out is always terminated.
VersionValue search_update_block(const unsigned char* block, ssize_t n, bool encoded,
                                 std::span<char, VERSION_TEXT_SIZE> text_out);

// Version of the installed copy open as fd, read from its offset, which
// must be its start, or 0 when it has none or cannot be read.
VersionValue installed_version(int fd, std::span<char, VERSION_TEXT_SIZE> text_out);

// Version in the first block of the update open as fd, read at offset 0 and
// decoded when update_path is an ejd name, or 0.
VersionValue update_version(int fd, const char* update_path,
                            std::span<char, VERSION_TEXT_SIZE> text_out);

// The gate's answer: the installed copy is at least as new as the update.
// Any doubt (no usable version on either side) answers false.
inline bool is_current(VersionValue installed, VersionValue update) {
    return installed != 0 && update != 0 && installed >= update;
}

// True when the installed copy open as installed_fd (-1: there is none) has
// a version at least that of the update open as update_fd. Fills texts
// along the way: the update's text even when the installed copy has no
// version.
bool installed_is_current(int update_fd, const char* update_path, int installed_fd,
                          VersionTexts& texts);
