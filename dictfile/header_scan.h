// The scan of an installed copy's header, fed the copy's bytes chunk by
// chunk. It gives the same answer as reading the file line by line into a
// HEADER_LINE_SIZE buffer (a longer line arrives in pieces of
// HEADER_LINE_SIZE - 1 bytes, each searched up to its first zero byte): the
// first piece holding "VERSION" gives the version, a piece holding
// "DGD_END" or the end of the file ends the header. It lets find_header_key
// skip every stretch without a key, so a file without a header is scanned
// to its end at memory speed. It reads nothing itself: its caller fills the
// buffer that it is given.
#pragma once

#include "version_gate.h"

#include <cstddef>
#include <span>

// Chunks of the installed copy's header scan; a copy without a header is
// read to its end through a buffer of this size, small enough that what a
// read brings in is still in the processor's cache when it is searched.
inline constexpr std::size_t HEADER_CHUNK_SIZE = std::size_t{128} * 1024;

enum class ScanStep { version, end, more };

class HeaderScan {
  public:
    // buffer holds the chunks, at least HEADER_LINE_SIZE bytes; text_out
    // receives the version's text, always terminated.
    HeaderScan(std::span<char> buffer, std::span<char, VERSION_TEXT_SIZE> text_out);

    // Where the next bytes of the file go: the caller reads into it.
    [[nodiscard]] std::span<char> space() const { return buffer_.subspan(kept_); }

    // Takes got bytes placed at space(), 0 at the end of the file: version
    // once the version line is found, end once the header ended without
    // one (or the file did), more while the scan wants more bytes.
    ScanStep take(std::size_t got);

    // The version found; 0 when there is none or the scan has not ended.
    [[nodiscard]] VersionValue value() const { return value_; }

  private:
    std::span<char> buffer_;
    std::span<char, VERSION_TEXT_SIZE> text_;
    std::size_t kept_ = 0; // bytes of an unfinished piece at the buffer's start
    VersionValue value_ = 0;
};
