#include "block_encoding.h"

#include <cstdint>
#include <cstring>
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

void store_word(unsigned char* p, std::uint64_t word) { std::memcpy(p, &word, sizeof word); }

} // namespace

void decode_block(const unsigned char* in, ssize_t n, unsigned char* out) {
    if (n <= 0)
        return;
    const auto count = static_cast<std::size_t>(n);
    std::size_t i = 0;
    // Eight bytes at a time: the word that ends count - i bytes into the input
    // is the next word of output once its bytes are swapped and complemented.
    for (; i + 8 <= count; i += 8)
        store_word(out + i, ~__builtin_bswap64(load_word(in + count - i - 8)));
    // The first count % 8 input bytes finish the output one by one.
    for (; i < count; ++i)
        out[i] = static_cast<unsigned char>(~in[count - 1 - i]);
}
