#include "block_encoding.h"

#include "cpu.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <string_view>

bool is_ejd_name(const char* path) {
    const std::string_view name(path);
    return name.size() > 4 && name.ends_with(".ejd");
}

namespace {

std::uint64_t load_word(const unsigned char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

void store_word(unsigned char* p, std::uint64_t word) {
    std::memcpy(p, &word, sizeof word);
}

#if defined(__x86_64__)
// 32 bytes at a time on processors with AVX2: the bytes of each 16-byte lane
// are reversed, the two lanes swapped and every bit flipped. Returns how many
// leading output bytes it wrote.
__attribute__((target("avx2"))) std::size_t decode_vectors(const unsigned char* in,
                                                           std::size_t count, unsigned char* out) {
    const __m256i reverse_lanes =
        _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11,
                         10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    const __m256i ones = _mm256_set1_epi8(-1);
    std::size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i block =
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + count - i - 32));
        const __m256i reversed =
            _mm256_permute4x64_epi64(_mm256_shuffle_epi8(block, reverse_lanes), 0x4e);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_xor_si256(reversed, ones));
    }
    return i;
}
#endif

// Decodes output positions [i, count) eight bytes at a time, then byte by byte.
void decode_from(const unsigned char* in, std::size_t count, unsigned char* out, std::size_t i) {
    // The word that ends count - i bytes into the input is the next word of
    // output once its bytes are swapped and complemented.
    for (; i + 8 <= count; i += 8)
        store_word(out + i, ~__builtin_bswap64(load_word(in + count - i - 8)));
    for (; i < count; ++i)
        out[i] = static_cast<unsigned char>(~in[count - 1 - i]);
}

} // namespace

void decode_block(const unsigned char* in, ssize_t n, unsigned char* out) {
    if (n <= 0)
        return;
    const auto count = static_cast<std::size_t>(n);
    std::size_t i = 0;
#if defined(__x86_64__)
    if (has_avx2())
        i = decode_vectors(in, count, out);
#endif
    decode_from(in, count, out, i);
}

void decode_block_portable(const unsigned char* in, ssize_t n, unsigned char* out) {
    if (n > 0)
        decode_from(in, static_cast<std::size_t>(n), out, 0);
}

void decode_blocks(std::span<const unsigned char> in, unsigned char* out) {
    for (std::size_t at = 0; at < in.size(); at += BLOCK_SIZE)
        decode_block(in.data() + at, static_cast<ssize_t>(std::min(BLOCK_SIZE, in.size() - at)),
                     out + at);
}
