// Fuzzes the search of an update's first block, plain and encoded, and the
// block transform's property that decoding twice gives the block back.
#include "block_encoding.h"
#include "version_gate.h"
#include "version_model.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::size_t n = std::min(size, BLOCK_SIZE);
    std::array<unsigned char, BLOCK_SIZE> block{};
    std::memcpy(block.data(), data, n);
    const std::string_view read(reinterpret_cast<const char*>(block.data()), n);

    for (const bool encoded : {false, true}) {
        VersionText text;
        text.fill('#');
        const VersionValue value =
            search_update_block(block.data(), static_cast<ssize_t>(n), encoded, text);
        const model::Version expected = model::search_update(read, encoded);
        if (std::memchr(text.data(), '\0', text.size()) == nullptr)
            std::abort();
        if (value != expected.value || (value != 0 && text.data() != expected.text))
            std::abort();
    }

    std::array<unsigned char, BLOCK_SIZE> once{};
    std::array<unsigned char, BLOCK_SIZE> twice{};
    decode_block(block.data(), static_cast<ssize_t>(n), once.data());
    decode_block(once.data(), static_cast<ssize_t>(n), twice.data());
    if (std::memcmp(twice.data(), block.data(), n) != 0)
        std::abort();
    return 0;
}
