#include "copy_update.h"

#include "block_encoding.h"
#include "file_io.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace {

// The copy moves a chunk of whole blocks at a time, in buffers of fixed size.
constexpr std::size_t CHUNK_BLOCKS = 32;
constexpr std::size_t CHUNK_SIZE = CHUNK_BLOCKS * BLOCK_SIZE;

alignas(64) std::array<unsigned char, CHUNK_SIZE> raw_chunk;
alignas(64) std::array<unsigned char, CHUNK_SIZE> decoded_chunk;
alignas(64) std::array<unsigned char, CHUNK_SIZE> copy_chunk; // the installed copy's, compared

// Reads size bytes at offset, all of them or false.
bool pread_full(int fd, unsigned char* buf, std::size_t size, off_t offset) {
    for (std::size_t got = 0; got < size;) {
        const ssize_t n = pread(fd, buf + got, size - got, offset + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

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

} // namespace

namespace {

// How much of a chunk the next read may fill: all of it, or what is left
// below the limit.
std::size_t read_size(CopyLimit limit, off_t copied) {
    if (limit == TO_THE_END)
        return CHUNK_SIZE;
    return static_cast<std::size_t>(std::min<off_t>(limit - copied, CHUNK_SIZE));
}

// Copies as copy_update does, writing at offset at of the destination, or
// at its current offset where at is -1.
CopyResult copy_chunks(int update_fd, int destination_fd, off_t at, bool decode, CopyLimit limit,
                       const CopyProgress& progress) {
    CopyResult result{0, CopyFailure::none};
    // Where the copy started in the destination, asked once a span is
    // written when not given; -1 for a pipe, where writeback means nothing.
    off_t start = at;
    bool asked = at >= 0;
    off_t started = 0; // bytes whose writeback has been started
    for (;;) {
        const std::size_t wanted = read_size(limit, result.copied);
        if (wanted == 0)
            return result;
        const ssize_t got = read_full(update_fd, raw_chunk.data(), wanted);
        if (got < 0)
            return {result.copied, CopyFailure::read};
        const auto size = static_cast<std::size_t>(got);
        const unsigned char* plain = chunk_to_write(size, decode);
        if (!(at < 0 ? write_all(destination_fd, plain, size)
                     : write_all_at(destination_fd, plain, size, at + result.copied)))
            return {result.copied, CopyFailure::write};
        result.copied += got;
        if (progress)
            progress(got);
        if (!asked && result.copied >= WRITEBACK_SPAN) {
            asked = true;
            const off_t end = lseek(destination_fd, 0, SEEK_CUR);
            start = end < 0 ? -1 : end - result.copied;
        }
        if (start >= 0 && result.copied - started >= WRITEBACK_SPAN) {
            // Only a hint: a failure shows in the flush that follows.
            (void)sync_file_range(destination_fd, start + started, result.copied - started,
                                  SYNC_FILE_RANGE_WRITE);
            started = result.copied;
        }
        if (size < wanted)
            return result;
    }
}

} // namespace

CopyResult copy_update(int update_fd, int destination_fd, bool decode, CopyLimit limit,
                       const CopyProgress& progress) {
    return copy_chunks(update_fd, destination_fd, -1, decode, limit, progress);
}

bool same_contents(int update_fd, int copy_fd, bool decode, off_t length) {
    for (off_t at = 0; at < length;) {
        const auto size = static_cast<std::size_t>(std::min<off_t>(length - at, CHUNK_SIZE));
        if (!pread_full(update_fd, raw_chunk.data(), size, at) ||
            !pread_full(copy_fd, copy_chunk.data(), size, at) ||
            std::memcmp(chunk_to_write(size, decode), copy_chunk.data(), size) != 0)
            return false;
        at += static_cast<off_t>(size);
    }
    return true;
}

bool write_at_start(int destination_fd, std::span<const unsigned char> bytes) {
    return write_all_at(destination_fd, bytes.data(), bytes.size(), 0);
}

bool write_mark(int destination_fd) {
    static constexpr std::array<unsigned char, SECTOR_SIZE> mark = [] {
        std::array<unsigned char, SECTOR_SIZE> sector{};
        constexpr std::string_view line = "DGD_END\n";
        std::copy(line.begin(), line.end(), sector.begin());
        return sector;
    }();
    return write_at_start(destination_fd, mark);
}

CopyResult copy_body(int update_fd, int destination_fd, off_t length_before, bool decode,
                     CopyLimit limit, std::span<unsigned char, SECTOR_SIZE> first_sector,
                     std::size_t& first_sector_size, const CopyProgress& progress) {
    // The first chunk, whose first sector is kept back; the rest of it is
    // written at once.
    const std::size_t wanted = read_size(limit, 0);
    const ssize_t first = read_full(update_fd, raw_chunk.data(), wanted);
    if (first < 0)
        return {0, CopyFailure::read};
    const auto size = static_cast<std::size_t>(first);
    const unsigned char* plain = chunk_to_write(size, decode);
    first_sector_size = std::min(size, SECTOR_SIZE);
    std::copy_n(plain, first_sector_size, first_sector.begin());
    if (size > SECTOR_SIZE &&
        !write_all_at(destination_fd, plain + SECTOR_SIZE, size - SECTOR_SIZE, SECTOR_SIZE))
        return {0, CopyFailure::write};
    CopyResult result{first, CopyFailure::none};
    if (progress)
        progress(first);
    if (size == wanted && limit != first) {
        const CopyResult rest = copy_chunks(update_fd, destination_fd, first, decode,
                                            limit == TO_THE_END ? limit : limit - first, progress);
        if (rest.failure != CopyFailure::none)
            return rest;
        result.copied += rest.copied;
    }
    // The writes have made a shorter file as long as the update already.
    if (length_before > result.copied && ftruncate(destination_fd, result.copied) != 0)
        return {0, CopyFailure::write};
    return result;
}
