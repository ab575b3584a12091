// What the processor runs, asked once: the vector loops of the block
// transform and of the header key search pick their variant by it.
#pragma once

#if defined(__x86_64__)
inline bool has_avx2() {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}
#else
inline bool has_avx2() {
    return false;
}
#endif
