#include "version_gate.h"

#include "block_encoding.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Classified by hand so that no locale can widen what counts as a digit.
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

std::int32_t digits_value(const char* digits) {
    constexpr std::int32_t limit = std::numeric_limits<std::int32_t>::max();
    std::int32_t value = 0;
    for (; *digits != '\0'; ++digits) {
        const int digit = *digits - '0';
        if (value > (limit - digit) / 10)
            return limit;
        value = value * 10 + digit;
    }
    return value;
}

} // namespace

std::int32_t version_behind(std::string_view text, std::size_t key,
                            std::span<char, VERSION_TEXT_SIZE> text_out) {
    std::array<char, VERSION_DIGITS_SIZE> digits{};
    return parse_version_token(text.substr(key + VERSION_KEY.size()), text_out, digits);
}

std::int32_t parse_version_token(std::string_view after_key,
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

std::int32_t search_update_block(const unsigned char* block, ssize_t n, bool encoded,
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

namespace {

alignas(64) std::array<char, HEADER_CHUNK_SIZE> header_chunk;

// Version of the copy at path, or 0. Only a regular file is opened: opening
// a device node can make the device act.
std::int32_t installed_version(const char* path, std::span<char, VERSION_TEXT_SIZE> text_out) {
    text_out[0] = '\0';
    struct stat seen {};
    if (stat(path, &seen) != 0 || !S_ISREG(seen.st_mode))
        return 0;
    // The gate only reads, but a copy it could not rewrite is not taken as current.
    const int fd = open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat status {};
    std::int32_t value = 0;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_dev == seen.st_dev &&
        status.st_ino == seen.st_ino)
        value = scan_installed_header(fd, header_chunk, text_out);
    close(fd);
    return value;
}

// Version in the update's first block, read at offset 0, or 0.
std::int32_t update_version(int fd, bool encoded, std::span<char, VERSION_TEXT_SIZE> text_out) {
    std::array<unsigned char, BLOCK_SIZE> first{};
    ssize_t n = 0;
    do
        n = pread(fd, first.data(), first.size(), 0);
    while (n < 0 && errno == EINTR);
    return search_update_block(first.data(), n, encoded, text_out);
}

} // namespace

bool installed_is_current(int update_fd, const char* update_path, const char* installed_path,
                          VersionTexts& texts) {
    const std::int32_t installed_value = installed_version(installed_path, texts.installed_text);
    const std::int32_t update_value =
        update_version(update_fd, is_ejd_name(update_path), texts.update_text);
    return installed_value != 0 && update_value != 0 && installed_value >= update_value;
}
