// The installed copy's header scan over a 64 MiB dictionary without a header,
// read from the page cache: the chunked scan against the line-by-line loop
// that it replaced, in bytes per second.
#include "gate.h"
#include "version_gate.h"

#include <array>
#include <benchmark/benchmark.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

constexpr std::size_t FILE_SIZE = std::size_t{64} << 20;

// Lines of 20 to 120 lower-case letters and blanks, as a word list has them.
const std::string& dictionary_path() {
    static const std::string path = [] {
        char name[] = "/var/tmp/vdu-scan-bench-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0)
            std::abort();
        std::string text;
        std::uint32_t seed = 1;
        while (text.size() < FILE_SIZE) {
            seed = seed * 1103515245U + 12345U;
            const std::size_t length = 20 + (seed >> 16) % 101;
            for (std::size_t i = 0; i < length; ++i) {
                seed = seed * 1103515245U + 12345U;
                const unsigned letter = (seed >> 16) % 27;
                text += letter == 26 ? ' ' : static_cast<char>('a' + letter);
            }
            text += '\n';
        }
        if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            std::abort();
        close(fd);
        return std::string(name);
    }();
    return path;
}

// The scan as it was: one fgets a line into the line buffer, each line
// searched up to its first zero byte.
VersionValue line_by_line(std::FILE* stream, std::span<char, VERSION_TEXT_SIZE> text_out) {
    text_out[0] = '\0';
    std::array<char, HEADER_LINE_SIZE> line{};
    while (std::fgets(line.data(), static_cast<int>(line.size()), stream) != nullptr) {
        const std::string_view text(line.data());
        if (const std::size_t key = text.find(VERSION_KEY); key != std::string_view::npos)
            return version_behind(text, key, text_out);
        if (text.find(HEADER_END_KEY) != std::string_view::npos)
            return 0;
    }
    return 0;
}

void BM_chunked_scan(benchmark::State& state) {
    std::FILE* file = std::fopen(dictionary_path().c_str(), "rb");
    VersionText text{};
    for ([[maybe_unused]] auto _ : state) {
        (void)lseek(fileno(file), 0, SEEK_SET);
        benchmark::DoNotOptimize(installed_version(fileno(file), text));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * FILE_SIZE));
    (void)std::fclose(file);
}

void BM_line_by_line(benchmark::State& state) {
    std::FILE* file = std::fopen(dictionary_path().c_str(), "rb");
    VersionText text{};
    for ([[maybe_unused]] auto _ : state) {
        std::rewind(file);
        benchmark::DoNotOptimize(line_by_line(file, text));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * FILE_SIZE));
    (void)std::fclose(file);
}

} // namespace

BENCHMARK(BM_chunked_scan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_line_by_line)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    unlink(dictionary_path().c_str());
    return 0;
}
