#include "body_copy.h"

#include "block_encoding.h"
#include "io.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

alignas(64) std::array<unsigned char, CHUNK_SIZE> raw_chunk;
alignas(64) std::array<unsigned char, CHUNK_SIZE> decoded_chunk;
alignas(64) std::array<unsigned char, CHUNK_SIZE> copy_chunk; // the installed copy's, compared

// The bytes of raw as the install writes them: decoded block by block for an
// encoded update (raw starts at a block boundary of its file).
const unsigned char* as_written(std::span<const unsigned char> raw, Decoding decoding) {
    if (decoding == Decoding::plain)
        return raw.data();
    decode_blocks(raw, decoded_chunk.data());
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
void keep_first_sector(const unsigned char* plain, std::size_t count, FirstSector& first) {
    first.size = std::min(count, SECTOR_SIZE);
    std::copy_n(plain, first.size, first.bytes.begin());
}

// The new first sector, from the update's first block, when the body
// starts past it: the copy held the bytes before already.
Failure first_sector_of(UpdateSource& update, Decoding decoding, FirstSector& first) {
    const IoResult got = update.first_block(std::span(raw_chunk).first<BLOCK_SIZE>());
    if (got.error != 0)
        return body_failure(got.error);
    keep_first_sector(as_written({raw_chunk.data(), got.count}, decoding), got.count, first);
    return {};
}

// The first chunk, whose first sector is kept back; the rest of it is
// written at once. The bytes it read, in copied.
Failure copy_first_chunk(UpdateSource& update, const BodyWrite& into, FirstSector& first,
                         off_t& copied) {
    const IoResult got = update.read({raw_chunk.data(), read_size(update.length(), 0)});
    if (got.error != 0)
        return body_failure(got.error);
    const unsigned char* plain = as_written({raw_chunk.data(), got.count}, into.decoding);
    keep_first_sector(plain, got.count, first);
    if (got.count > SECTOR_SIZE) {
        if (const int error = write_all_at(
                into.file, {plain + SECTOR_SIZE, got.count - SECTOR_SIZE}, SECTOR_SIZE))
            return body_failure(error);
    }
    copied = static_cast<off_t>(got.count);
    return {};
}

} // namespace

Failure copy_body(UpdateSource& update, const BodyWrite& into, FirstSector& first,
                  const CopyProgress& progress) {
    const off_t length = update.length();
    off_t copied = into.in_place;
    const Failure started = copied > 0 ? first_sector_of(update, into.decoding, first)
                                       : copy_first_chunk(update, into, first, copied);
    if (started.failed())
        return started;
    if (into.in_place == 0 && progress) {
        if (const Problem stop = progress(copied); stop != Problem::none)
            return {Step::body, 0, stop};
    }
    // The rest with positioned writes, its writeback started span by span.
    bool whole_chunks =
        copied == static_cast<off_t>(std::min<off_t>(length, CHUNK_SIZE)) || into.in_place > 0;
    for (off_t started_at = copied; whole_chunks && copied < length;) {
        const std::size_t wanted = read_size(length, copied);
        const IoResult got = update.read({raw_chunk.data(), wanted});
        if (got.error != 0)
            return body_failure(got.error);
        const unsigned char* plain = as_written({raw_chunk.data(), got.count}, into.decoding);
        if (const int error = write_all_at(into.file, {plain, got.count}, copied))
            return body_failure(error);
        copied += static_cast<off_t>(got.count);
        whole_chunks = got.count == wanted;
        if (progress) {
            if (const Problem stop = progress(static_cast<off_t>(got.count)); stop != Problem::none)
                return {Step::body, 0, stop};
        }
        if (copied - started_at >= WRITEBACK_SPAN) {
            start_writeback(into.file, started_at, copied - started_at);
            started_at = copied;
        }
    }
    // The writes have made a shorter file as long as the update already.
    if (into.length_before > copied) {
        if (const int error = cut_to(into.file, copied))
            return body_failure(error);
    }
    return {};
}

bool chunk_in_copy(std::span<const unsigned char> raw, Decoding decoding, int copy, off_t at) {
    const IoResult got = pread_full(copy, {copy_chunk.data(), raw.size()}, at);
    return got.error == 0 && got.count == raw.size() &&
           std::memcmp(as_written(raw, decoding), copy_chunk.data(), raw.size()) == 0;
}

bool same_as_copy(RereadableSource& update, int copy, Decoding decoding) {
    const off_t length = update.length();
    for (off_t at = 0; at < length;) {
        const std::size_t size = read_size(length, at);
        const IoResult got = update.read_at({raw_chunk.data(), size}, at);
        if (got.error != 0 || got.count != size ||
            !chunk_in_copy({raw_chunk.data(), size}, decoding, copy, at))
            return false;
        at += static_cast<off_t>(size);
    }
    return true;
}
