#include "gate.h"

#include "header_scan.h"
#include "io.h"

#include <array>

namespace {

alignas(64) std::array<char, HEADER_CHUNK_SIZE> header_chunk;

} // namespace

VersionValue installed_version(int fd, std::span<char, VERSION_TEXT_SIZE> text_out) {
    HeaderScan scan(header_chunk, text_out);
    for (;;) {
        const std::span<char> space = scan.space();
        const IoResult got =
            read_some(fd, {reinterpret_cast<unsigned char*>(space.data()), space.size()});
        if (got.error != 0)
            return 0;
        if (scan.take(got.count) != ScanStep::more)
            return scan.value();
    }
}

VersionValue update_version(UpdateSource& update, Decoding encoded,
                            std::span<char, VERSION_TEXT_SIZE> text_out) {
    std::array<unsigned char, BLOCK_SIZE> first{};
    const IoResult got = update.first_block(first);
    const ssize_t n = got.error != 0 ? -1 : static_cast<ssize_t>(got.count);
    return search_update_block(first.data(), n, encoded == Decoding::ejd, text_out);
}
