#include "body_copy.h"

#include "block_encoding.h"
#include "io.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr std::size_t CHUNK_BLOCKS = 32;
constexpr std::size_t CHUNK_SIZE = CHUNK_BLOCKS * BLOCK_SIZE;

alignas(64) std::array<unsigned char, CHUNK_SIZE> raw_chunk;
alignas(64) std::array<unsigned char, CHUNK_SIZE> decoded_chunk;
alignas(64) std::array<unsigned char, CHUNK_SIZE> copy_chunk;    // the installed copy's, compared
alignas(64) std::array<unsigned char, CHUNK_SIZE> other_decoded; // another update's, compared

// The size bytes of raw_chunk as the install writes them: decoded block by
// block when decode is true.
const unsigned char* chunk_to_write(std::size_t size, bool decode) {
    if (!decode)
        return raw_chunk.data();
    decode_blocks({raw_chunk.data(), size}, decoded_chunk.data());
    return decoded_chunk.data();
}

// How much of a chunk the next read may fill: all of it, or what is left
// below the length.
std::size_t read_size(off_t length, off_t copied) {
    return static_cast<std::size_t>(std::min<off_t>(length - copied, CHUNK_SIZE));
}

Failure body_failure(int error) {
    return {Step::body, error, Problem::none};
}

// Keeps back the first sector of plain, the count bytes at the update's start.
void keep_first_sector(const unsigned char* plain, std::size_t count, Sector& first_sector,
                       std::size_t& first_sector_size) {
    first_sector_size = std::min(count, SECTOR_SIZE);
    std::copy_n(plain, first_sector_size, first_sector.begin());
}

// The new first sector, from the update's first block, when the body
// starts past it: the copy held the bytes before already.
Failure first_sector_of(UpdateSource& update, bool decode, Sector& first_sector,
                        std::size_t& first_sector_size) {
    const IoResult got = update.first_block(std::span(raw_chunk).first<BLOCK_SIZE>());
    if (got.error != 0)
        return body_failure(got.error);
    keep_first_sector(chunk_to_write(got.count, decode), got.count, first_sector,
                      first_sector_size);
    return {};
}

} // namespace

Failure copy_body(UpdateSource& update, int destination, off_t length_before, bool decode,
                  Sector& first_sector, std::size_t& first_sector_size,
                  const CopyProgress& progress) {
    const off_t length = update.length();
    off_t copied = update.in_place();
    std::size_t wanted = 0;
    IoResult got;
    if (copied > 0) {
        if (const Failure failed = first_sector_of(update, decode, first_sector, first_sector_size);
            failed.failed())
            return failed;
    } else {
        // The first chunk, whose first sector is kept back; the rest of it is
        // written at once.
        wanted = read_size(length, 0);
        got = update.read({raw_chunk.data(), wanted});
        if (got.error != 0)
            return body_failure(got.error);
        const unsigned char* plain = chunk_to_write(got.count, decode);
        keep_first_sector(plain, got.count, first_sector, first_sector_size);
        if (got.count > SECTOR_SIZE) {
            if (const int error = write_all_at(
                    destination, {plain + SECTOR_SIZE, got.count - SECTOR_SIZE}, SECTOR_SIZE))
                return body_failure(error);
        }
        copied = static_cast<off_t>(got.count);
        if (progress)
            progress(copied);
    }
    // The rest with positioned writes, its writeback started span by span.
    off_t started = copied; // where the writeback not yet started begins
    while (got.count == wanted && copied < length) {
        wanted = read_size(length, copied);
        got = update.read({raw_chunk.data(), wanted});
        if (got.error != 0)
            return body_failure(got.error);
        const unsigned char* plain = chunk_to_write(got.count, decode);
        if (const int error = write_all_at(destination, {plain, got.count}, copied))
            return body_failure(error);
        copied += static_cast<off_t>(got.count);
        if (progress)
            progress(static_cast<off_t>(got.count));
        if (copied - started >= WRITEBACK_SPAN) {
            start_writeback(destination, started, copied - started);
            started = copied;
        }
    }
    // The writes have made a shorter file as long as the update already.
    if (length_before > copied) {
        if (const int error = cut_to(destination, copied))
            return body_failure(error);
    }
    return {};
}

bool same_contents(UpdateSource& update, int copy_fd, bool decode) {
    const off_t length = update.length();
    for (off_t at = 0; at < length;) {
        const std::size_t size = read_size(length, at);
        const IoResult update_read = update.read_at({raw_chunk.data(), size}, at);
        const IoResult copy_read = pread_full(copy_fd, {copy_chunk.data(), size}, at);
        if (update_read.error != 0 || update_read.count != size || copy_read.error != 0 ||
            copy_read.count != size ||
            std::memcmp(chunk_to_write(size, decode), copy_chunk.data(), size) != 0)
            return false;
        at += static_cast<off_t>(size);
    }
    return true;
}

bool same_output(UpdateSource& a, bool decode_a, UpdateSource& b, bool decode_b) {
    const off_t length = a.length();
    if (b.length() != length)
        return false;
    for (off_t at = 0; at < length;) {
        const std::size_t size = read_size(length, at);
        const IoResult read_a = a.read_at({raw_chunk.data(), size}, at);
        const IoResult read_b = b.read_at({copy_chunk.data(), size}, at);
        if (read_a.error != 0 || read_a.count != size || read_b.error != 0 || read_b.count != size)
            return false;
        const unsigned char* bytes_b = copy_chunk.data();
        if (decode_b) {
            decode_blocks({copy_chunk.data(), size}, other_decoded.data());
            bytes_b = other_decoded.data();
        }
        if (std::memcmp(chunk_to_write(size, decode_a), bytes_b, size) != 0)
            return false;
        at += static_cast<off_t>(size);
    }
    return true;
}
