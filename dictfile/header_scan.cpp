#include "header_scan.h"

#include "header_keys.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t PIECE_SIZE = HEADER_LINE_SIZE - 1;

struct ChunkScan {
    ScanStep step;
    std::size_t keep; // with ScanStep::more: where the unfinished piece starts
    VersionValue value;
};

// Start of the piece holding position at, given that from is a piece start.
std::size_t piece_start(std::string_view chunk, std::size_t from, std::size_t at) {
    std::size_t line = from;
    if (const void* newline = memrchr(chunk.data() + from, '\n', at - from))
        line = static_cast<std::size_t>(static_cast<const char*>(newline) - chunk.data()) + 1;
    return line + (at - line) / PIECE_SIZE * PIECE_SIZE;
}

// End of the piece starting at start, or npos when the chunk ends before it
// does and more of the file may follow.
std::size_t piece_end(std::string_view chunk, std::size_t start, bool at_eof) {
    const std::size_t room = std::min(PIECE_SIZE, chunk.size() - start);
    if (const void* newline = std::memchr(chunk.data() + start, '\n', room))
        return static_cast<std::size_t>(static_cast<const char*>(newline) - chunk.data()) + 1;
    return room == PIECE_SIZE || at_eof ? start + room : std::string_view::npos;
}

// Scans a chunk whose first byte starts a piece.
ChunkScan scan_chunk(std::string_view chunk, bool at_eof,
                     std::span<char, VERSION_TEXT_SIZE> text_out) {
    std::size_t from = 0; // a piece start; no piece before it holds a key
    for (;;) {
        const std::size_t key = from + find_header_key(chunk.substr(from));
        if (key == chunk.size())
            return {ScanStep::more, at_eof ? chunk.size() : piece_start(chunk, from, chunk.size()),
                    0};
        const std::size_t start = piece_start(chunk, from, key);
        const std::size_t end = piece_end(chunk, start, at_eof);
        if (end == std::string_view::npos)
            return {ScanStep::more, start, 0};
        // What the line buffer would hold: the piece up to its first zero byte.
        std::string_view piece = chunk.substr(start, end - start);
        piece = piece.substr(0, std::min(piece.size(), piece.find('\0')));
        // The first key found lies in this piece; it counts only when it lies
        // wholly before the piece's end and its zero byte, and then so does
        // every key that the piece holds.
        if (key + HEADER_KEY_SIZE <= start + piece.size()) {
            if (const std::size_t version = piece.find(VERSION_KEY);
                version != std::string_view::npos)
                return {ScanStep::version, 0, version_behind(piece, version, text_out)};
            return {ScanStep::end, 0, 0};
        }
        from = end;
    }
}

} // namespace

HeaderScan::HeaderScan(std::span<char> buffer, std::span<char, VERSION_TEXT_SIZE> text_out)
    : buffer_(buffer), text_(text_out) {
    text_[0] = '\0';
}

ScanStep HeaderScan::take(std::size_t got) {
    const std::size_t size = kept_ + got;
    const ChunkScan scan = scan_chunk({buffer_.data(), size}, got == 0, text_);
    value_ = scan.value;
    if (scan.step != ScanStep::more)
        return scan.step;
    if (got == 0)
        return ScanStep::end;
    kept_ = size - scan.keep;
    std::memmove(buffer_.data(), buffer_.data() + scan.keep, kept_);
    return ScanStep::more;
}
