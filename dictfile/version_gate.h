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

struct VersionTexts {
    VersionText update_text;
    VersionText installed_text;
};

// Reads the token behind the key "VERSION": blanks are skipped, then the
// longest run of digits and full stops is the token. Returns its digits,
// joined, as a number clamped to INT32_MAX; 0 means no usable version,
// which covers an empty token and one longer than VERSION_TEXT_SIZE - 1
// characters. text_out receives the token (empty when too long); digits_out
// its digits; both are terminated.
std::int32_t parse_version_token(std::string_view after_key,
                                 std::span<char, VERSION_TEXT_SIZE> text_out,
                                 std::span<char, VERSION_DIGITS_SIZE> digits_out);

// parse_version_token on what follows the "VERSION" that starts at text[key].
std::int32_t version_behind(std::string_view text, std::size_t key,
                            std::span<char, VERSION_TEXT_SIZE> text_out);

// Version value of a plain dictionary header, read from fd's offset on. Read
// as lines in a HEADER_LINE_SIZE buffer (a longer line in pieces, each
// searched up to its first zero byte), the first piece holding "VERSION"
// gives the version, a piece holding "DGD_END" or the end of the file ends
// the header. 0 when there is no usable version or a read fails. buffer
// holds the chunks read, at least HEADER_LINE_SIZE bytes. text_out is
// always terminated.
std::int32_t scan_installed_header(int fd, std::span<char> buffer,
                                   std::span<char, VERSION_TEXT_SIZE> text_out);

// Version value found in the first read of an update, n bytes at block
// (n <= 0 for a failed read), decoded first when encoded is true. 0 when the
// key is missing or its token is not usable. text_out is always terminated.
std::int32_t search_update_block(const unsigned char* block, ssize_t n, bool encoded,
                                 std::span<char, VERSION_TEXT_SIZE> text_out);

// True when the copy at installed_path has a version at least that of the
// update open as update_fd, a regular file whose first block is read at
// offset 0 and decoded when update_path is an ejd name. Any doubt (the
// installed copy missing, unreadable or not a regular file, no usable
// version) answers false. Only a regular file is opened at installed_path:
// a device, FIFO or socket there is never opened. Fills texts along the
// way: the update's text even when the installed copy has no version.
bool installed_is_current(int update_fd, const char* update_path, const char* installed_path,
                          VersionTexts& texts);
