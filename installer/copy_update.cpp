#include "copy_update.h"

#include "block_encoding.h"
#include "file_io.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The copy moves a chunk of whole blocks at a time, in buffers of fixed size.
constexpr std::size_t CHUNK_BLOCKS = 32;
constexpr std::size_t CHUNK_SIZE = CHUNK_BLOCKS * BLOCK_SIZE;

// Writeback of the destination is started every WRITEBACK_SPAN bytes, so
// that the disk works while the copy goes on and a flush after it waits
// for the last span only.
constexpr off_t WRITEBACK_SPAN = off_t{8} << 20;

alignas(64) std::array<unsigned char, CHUNK_SIZE> raw_chunk;
alignas(64) std::array<unsigned char, CHUNK_SIZE> decoded_chunk;

// Decodes size bytes of raw_chunk, block by block, when decode is true.
const unsigned char* chunk_to_write(std::size_t size, bool decode) {
    if (!decode)
        return raw_chunk.data();
    for (std::size_t at = 0; at < size; at += BLOCK_SIZE) {
        const auto n = static_cast<ssize_t>(std::min(BLOCK_SIZE, size - at));
        decode_block(raw_chunk.data() + at, n, decoded_chunk.data() + at);
    }
    return decoded_chunk.data();
}

// Reads the update's first block into raw_chunk; returns its length, or -1.
ssize_t read_first_block(int update_fd) {
    return lseek(update_fd, 0, SEEK_SET) == 0 ? read_full(update_fd, raw_chunk.data(), BLOCK_SIZE)
                                              : -1;
}

} // namespace

CopyResult copy_update(int update_fd, int destination_fd, bool decode) {
    CopyResult result{0, CopyFailure::none};
    // Where the copy starts in the destination; -1 for a pipe, where
    // writeback means nothing.
    const off_t start = lseek(destination_fd, 0, SEEK_CUR);
    off_t started = 0; // bytes whose writeback has been started
    for (;;) {
        const ssize_t got = read_full(update_fd, raw_chunk.data(), raw_chunk.size());
        if (got < 0)
            return {result.copied, CopyFailure::read};
        const auto size = static_cast<std::size_t>(got);
        if (!write_all(destination_fd, chunk_to_write(size, decode), size))
            return {result.copied, CopyFailure::write};
        result.copied += got;
        if (start >= 0 && result.copied - started >= WRITEBACK_SPAN) {
            // Only a hint: a failure shows in the flush that follows.
            (void)sync_file_range(destination_fd, start + started, result.copied - started,
                                  SYNC_FILE_RANGE_WRITE);
            started = result.copied;
        }
        if (size < raw_chunk.size())
            return result;
    }
}

CopyResult copy_after_first_block(int update_fd, int destination_fd, bool decode) {
    // The first block is read only for its length.
    const ssize_t first = read_first_block(update_fd);
    if (first < 0)
        return {0, CopyFailure::read};
    CopyResult result{first, CopyFailure::none};
    if (static_cast<std::size_t>(first) == BLOCK_SIZE) {
        if (lseek(destination_fd, first, SEEK_SET) != first)
            return {0, CopyFailure::write};
        const CopyResult rest = copy_update(update_fd, destination_fd, decode);
        if (rest.failure != CopyFailure::none)
            return rest;
        result.copied += rest.copied;
    }
    if (ftruncate(destination_fd, result.copied) != 0)
        return {0, CopyFailure::write};
    return result;
}

CopyResult copy_first_block(int update_fd, int destination_fd, bool decode, off_t length) {
    const ssize_t got = read_first_block(update_fd);
    if (got < 0)
        return {0, CopyFailure::read};
    if (got != std::min<off_t>(length, BLOCK_SIZE)) {
        errno = EIO;
        return {0, CopyFailure::read};
    }
    const auto size = static_cast<std::size_t>(got);
    if (lseek(destination_fd, 0, SEEK_SET) != 0 ||
        !write_all(destination_fd, chunk_to_write(size, decode), size))
        return {0, CopyFailure::write};
    return {got, CopyFailure::none};
}

bool clear_first_block(int destination_fd, off_t length) {
    static constexpr std::array<unsigned char, BLOCK_SIZE> zeros{};
    const auto size = static_cast<std::size_t>(std::min<off_t>(length, BLOCK_SIZE));
    return lseek(destination_fd, 0, SEEK_SET) == 0 && write_all(destination_fd, zeros.data(), size);
}
