#include "copy_update.h"

#include "block_encoding.h"
#include "file_io.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace {

// The copy moves a chunk of whole blocks at a time, in buffers of fixed size.
constexpr std::size_t CHUNK_BLOCKS = 32;
constexpr std::size_t CHUNK_SIZE = CHUNK_BLOCKS * BLOCK_SIZE;

alignas(64) std::array<unsigned char, CHUNK_SIZE> raw_chunk;
alignas(64) std::array<unsigned char, CHUNK_SIZE> decoded_chunk;

} // namespace

CopyResult copy_update(int update_fd, int destination_fd, bool decode) {
    CopyResult result{0, CopyFailure::none};
    for (;;) {
        const ssize_t got = read_full(update_fd, raw_chunk.data(), raw_chunk.size());
        if (got < 0) {
            result.failure = CopyFailure::read;
            return result;
        }
        const auto size = static_cast<std::size_t>(got);
        const unsigned char* out = raw_chunk.data();
        if (decode) {
            for (std::size_t at = 0; at < size; at += BLOCK_SIZE) {
                const auto n = static_cast<ssize_t>(std::min(BLOCK_SIZE, size - at));
                decode_block(raw_chunk.data() + at, n, decoded_chunk.data() + at);
            }
            out = decoded_chunk.data();
        }
        if (!write_all(destination_fd, out, size)) {
            result.failure = CopyFailure::write;
            return result;
        }
        result.copied += got;
        if (size < raw_chunk.size())
            return result;
    }
}
