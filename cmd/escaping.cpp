#include "escaping.h"

#include <array>
#include <cstdio>

namespace {

// The length of the valid UTF-8 sequence that starts text, or 0: a stray
// continuation byte, a sequence cut short, an overlong form, a surrogate
// or a code point past U+10FFFF is not one. code_point receives its value.
std::size_t utf8_sequence(std::string_view text, char32_t& code_point) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    char32_t least = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        least = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        least = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        least = 0x10000;
    }
    if (length == 0 || text.size() < length)
        return 0;
    code_point = lead & (0x7fU >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xc0) != 0x80)
            return 0;
        code_point = code_point << 6 | (byte & 0x3fU);
    }
    const bool surrogate = code_point >= 0xd800 && code_point <= 0xdfff;
    return code_point < least || surrogate || code_point > 0x10ffff ? 0 : length;
}

void append_hex(std::string& out, unsigned char byte) {
    std::array<char, 5> hex{};
    (void)std::snprintf(hex.data(), hex.size(), "\\x%02x", byte);
    out += hex.data();
}

bool is_bidirectional_control(char32_t code_point) {
    return code_point == 0x061c || code_point == 0x200e || code_point == 0x200f ||
           (code_point >= 0x202a && code_point <= 0x202e) ||
           (code_point >= 0x2066 && code_point <= 0x2069);
}

} // namespace

std::string escaped(std::string_view text) {
    static constexpr std::array<char, 7> NAMED{'a', 'b', 't', 'n', 'v', 'f', 'r'}; // 0x07..0x0d
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        char32_t code_point = 0;
        std::size_t length = 1;
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte >= 0x07 && byte <= 0x0d) {
            out += '\\';
            out += NAMED.at(byte - 0x07);
        } else if (byte < 0x20 || byte == 0x7f) {
            append_hex(out, byte);
        } else if (byte < 0x80) {
            out += text[at];
        } else if ((length = utf8_sequence(text.substr(at), code_point)) == 0) {
            // Not UTF-8: each byte shown, none passed to the terminal.
            append_hex(out, byte);
            length = 1;
        } else if (code_point <= 0x9f || is_bidirectional_control(code_point)) {
            // A C1 control, which terminals obey as they obey ESC, or a
            // control of the text's direction, which shows a name reversed.
            for (std::size_t i = 0; i < length; ++i)
                append_hex(out, static_cast<unsigned char>(text[at + i]));
        } else {
            out.append(text.substr(at, length));
        }
        at += length;
    }
    return out;
}

bool is_utf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        char32_t code_point = 0;
        const std::size_t length = static_cast<unsigned char>(text[at]) < 0x80
                                       ? 1
                                       : utf8_sequence(text.substr(at), code_point);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

std::string files_text(std::size_t files) {
    return std::to_string(files) + (files == 1 ? " file" : " files");
}
