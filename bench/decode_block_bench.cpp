// decode_block against the straightforward byte-by-byte loop, in bytes per
// second, for a whole block and for a block with an odd tail.
#include "block_encoding.h"

#include <array>
#include <benchmark/benchmark.h>
#include <cstdint>

namespace {

void byte_loop_decode(const unsigned char* in, ssize_t n, unsigned char* out) {
    for (ssize_t i = 0; i < n; ++i)
        out[i] = static_cast<unsigned char>(~in[n - 1 - i]);
}

template <void (*Decode)(const unsigned char*, ssize_t, unsigned char*)>
void decode(benchmark::State& state) {
    const auto n = static_cast<ssize_t>(state.range(0));
    std::array<unsigned char, BLOCK_SIZE> in{};
    std::array<unsigned char, BLOCK_SIZE> out{};
    std::uint32_t seed = 1;
    for (unsigned char& byte : in) {
        seed = seed * 1103515245U + 12345U;
        byte = static_cast<unsigned char>(seed >> 16);
    }
    for (auto _ : state) {
        Decode(in.data(), n, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * n);
}

void BM_decode_block(benchmark::State& state) {
    decode<decode_block>(state);
}
void BM_decode_block_portable(benchmark::State& state) {
    decode<decode_block_portable>(state);
}
void BM_byte_loop(benchmark::State& state) {
    decode<byte_loop_decode>(state);
}

} // namespace

BENCHMARK(BM_decode_block)->Arg(8192)->Arg(8191)->Arg(100);
BENCHMARK(BM_decode_block_portable)->Arg(8192)->Arg(8191)->Arg(100);
BENCHMARK(BM_byte_loop)->Arg(8192)->Arg(8191)->Arg(100);
BENCHMARK_MAIN();
