// A slow, obvious model of the version rules, written straight from their
// description, against which the fuzz targets check the real code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace model {

struct Version {
    std::uint64_t value = 0;
    std::string text;
};

inline Version parse_token(std::string_view after_key) {
    std::size_t pos = after_key.find_first_not_of(" \t");
    if (pos == std::string_view::npos)
        return {};
    const std::size_t end = after_key.find_first_not_of("0123456789.", pos);
    const std::string token(after_key.substr(pos, end == std::string_view::npos ? end : end - pos));
    if (token.size() > 19)
        return {};
    std::string digits;
    for (const char c : token)
        if (c != '.')
            digits += c;
    digits.erase(0, digits.find_first_not_of('0'));
    return {digits.empty() ? 0 : std::stoull(digits), token};
}

// The first "VERSION" of a text, or no version.
inline Version search(std::string_view text) {
    const std::size_t key = text.find("VERSION");
    if (key == std::string_view::npos)
        return {};
    return parse_token(text.substr(key + 7));
}

// Reads lines as a 2048-byte line buffer receives them; each is searched up
// to its first zero byte.
inline Version scan_header(std::string_view file) {
    std::size_t at = 0;
    while (at < file.size()) {
        std::size_t len = 0;
        while (len < 2047 && at + len < file.size()) {
            ++len;
            if (file[at + len - 1] == '\n')
                break;
        }
        std::string_view line = file.substr(at, len);
        line = line.substr(0, line.find('\0'));
        at += len;
        if (line.find("VERSION") != std::string_view::npos)
            return search(line);
        if (line.find("DGD_END") != std::string_view::npos)
            return {};
    }
    return {};
}

// The first read of an update: decoded first when encoded, and then never
// searched at or past position 8191.
inline Version search_update(std::string_view block, bool encoded) {
    std::string plain(block);
    if (encoded) {
        for (std::size_t i = 0; i < block.size(); ++i)
            plain[i] = static_cast<char>(~block[block.size() - 1 - i]);
        if (plain.size() > 8191)
            plain.resize(8191);
    }
    plain.resize(std::min(plain.size(), plain.find('\0')));
    return search(plain);
}

} // namespace model
