#include "digest.h"

#include <openssl/evp.h>

Sha256Stream::Sha256Stream() : context_(EVP_MD_CTX_new()) {
    failed_ = context_ == nullptr || EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1;
}

Sha256Stream::~Sha256Stream() {
    EVP_MD_CTX_free(context_);
}

void Sha256Stream::add(std::span<const unsigned char> bytes) {
    if (!failed_ && !bytes.empty())
        failed_ = EVP_DigestUpdate(context_, bytes.data(), bytes.size()) != 1;
}

bool Sha256Stream::finish(Sha256& digest) {
    unsigned int size = 0;
    return !failed_ && EVP_DigestFinal_ex(context_, digest.data(), &size) == 1 &&
           size == digest.size();
}

bool blake2b512(std::span<const unsigned char> bytes, Blake2b512& digest) {
    unsigned int size = 0;
    return EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_blake2b512(),
                      nullptr) == 1 &&
           size == digest.size();
}

std::string hex_text(std::span<const unsigned char> bytes) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const unsigned char byte : bytes) {
        text += DIGITS[byte >> 4];
        text += DIGITS[byte & 0xf];
    }
    return text;
}

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

bool parse_hex(std::string_view text, std::span<unsigned char> bytes) {
    if (text.size() != bytes.size() * 2)
        return false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = hex_value(text[2 * i]);
        const int low = hex_value(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return true;
}

bool parse_sha256(std::string_view text, Sha256& digest) {
    return parse_hex(text, digest);
}
