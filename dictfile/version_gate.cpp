#include "version_gate.h"

#include "block_encoding.h"

#include <algorithm>
#include <cstring>

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Classified by hand so that no locale can widen what counts as a digit.
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// The token's length bound keeps this exact: at most 19 digits.
VersionValue digits_value(const char* digits) {
    VersionValue value = 0;
    for (; *digits != '\0'; ++digits)
        value = value * 10 + static_cast<VersionValue>(*digits - '0');
    return value;
}

} // namespace

VersionValue version_behind(std::string_view text, std::size_t key,
                            std::span<char, VERSION_TEXT_SIZE> text_out) {
    std::array<char, VERSION_DIGITS_SIZE> digits{};
    return parse_version_token(text.substr(key + VERSION_KEY.size()), text_out, digits);
}

VersionValue parse_version_token(std::string_view after_key,
                                 std::span<char, VERSION_TEXT_SIZE> text_out,
                                 std::span<char, VERSION_DIGITS_SIZE> digits_out) {
    std::size_t pos = 0;
    while (pos < after_key.size() && is_blank(after_key[pos]))
        ++pos;
    std::size_t text_len = 0;
    std::size_t digit_len = 0;
    for (; pos < after_key.size(); ++pos) {
        const char c = after_key[pos];
        if (!is_digit(c) && c != '.')
            break;
        // A token that does not fit its text field is no usable version.
        if (text_len == text_out.size() - 1) {
            text_out[0] = '\0';
            digits_out[0] = '\0';
            return 0;
        }
        text_out[text_len++] = c;
        if (c != '.')
            digits_out[digit_len++] = c;
    }
    text_out[text_len] = '\0';
    digits_out[digit_len] = '\0';
    return digits_value(digits_out.data());
}

VersionValue search_update_block(const unsigned char* block, ssize_t n, bool encoded,
                                 std::span<char, VERSION_TEXT_SIZE> text_out) {
    text_out[0] = '\0';
    if (n <= 0)
        return 0;
    auto length = static_cast<std::size_t>(n);
    const unsigned char* plain = block;
    std::array<unsigned char, BLOCK_SIZE> decoded{};
    if (encoded) {
        decode_block(block, n, decoded.data());
        plain = decoded.data();
        // The last position of a decoded block always holds the terminator.
        length = std::min(length, BLOCK_SIZE - 1);
    }
    const auto* chars = reinterpret_cast<const char*>(plain);
    const std::string_view text(chars, strnlen(chars, length));
    const std::size_t key = text.find(VERSION_KEY);
    if (key == std::string_view::npos)
        return 0;
    return version_behind(text, key, text_out);
}
