#include "minisign.h"

#include "digest.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <openssl/evp.h>
#include <vector>

namespace {

constexpr std::string_view UNTRUSTED = "untrusted comment: ";
constexpr std::string_view TRUSTED = "trusted comment: ";

// The lines of a file, without their line feeds (and carriage returns).
std::vector<std::string_view> lines_of(std::string_view file) {
    std::vector<std::string_view> lines;
    while (!file.empty()) {
        const std::size_t end = std::min(file.find('\n'), file.size());
        std::string_view line = file.substr(0, end);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        lines.push_back(line);
        file.remove_prefix(std::min(end + 1, file.size()));
    }
    return lines;
}

// Decodes base64 that must come to exactly size bytes.
std::optional<std::vector<unsigned char>> base64(std::string_view text, std::size_t size) {
    if (text.empty() || text.size() % 4 != 0)
        return std::nullopt;
    std::vector<unsigned char> bytes(text.size() / 4 * 3);
    const int decoded =
        EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                        static_cast<int>(text.size()));
    const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
    if (decoded < 0 || static_cast<std::size_t>(decoded) - padding != size)
        return std::nullopt;
    bytes.resize(size);
    return bytes;
}

bool ed25519_verifies(const PublicKey& key, std::span<const unsigned char> signature,
                      std::span<const unsigned char> message) {
    EVP_PKEY* pkey =
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.key.data(), key.key.size());
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const bool good = pkey != nullptr && context != nullptr &&
                      EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, pkey) == 1 &&
                      EVP_DigestVerify(context, signature.data(), signature.size(), message.data(),
                                       message.size()) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(pkey);
    return good;
}

} // namespace

std::string key_id_text(const KeyId& id) {
    std::string text;
    // Little-endian: the last byte is the first digit pair.
    for (std::size_t i = id.size(); i-- > 0;) {
        std::array<char, 3> digits{};
        (void)std::snprintf(digits.data(), digits.size(), "%02X", id.at(i));
        text += digits.data();
    }
    return text;
}

std::optional<KeyId> parse_key_id(std::string_view text) {
    KeyId id{};
    std::array<unsigned char, 8> bytes{};
    if (text.size() != id.size() * 2 || !parse_hex(text, bytes))
        return std::nullopt;
    // The first digit pair is the last byte.
    for (std::size_t i = 0; i < id.size(); ++i)
        id.at(i) = bytes.at(id.size() - 1 - i);
    return id;
}

std::optional<PublicKey> parse_public_key(std::string_view file) {
    std::vector<std::string_view> lines = lines_of(file);
    if (!lines.empty() && lines.front().starts_with(UNTRUSTED))
        lines.erase(lines.begin());
    if (lines.size() != 1)
        return std::nullopt;
    const auto bytes = base64(lines.front(), 2 + 8 + 32);
    if (!bytes || (*bytes)[0] != 'E' || (*bytes)[1] != 'd')
        return std::nullopt;
    PublicKey key{};
    std::copy_n(bytes->begin() + 2, key.id.size(), key.id.begin());
    std::copy_n(bytes->begin() + 10, key.key.size(), key.key.begin());
    return key;
}

std::optional<Signature> parse_signature(std::string_view file) {
    const std::vector<std::string_view> lines = lines_of(file);
    if (lines.size() != 4 || !lines[0].starts_with(UNTRUSTED) || !lines[2].starts_with(TRUSTED))
        return std::nullopt;
    const auto signed_part = base64(lines[1], 2 + 8 + 64);
    const auto comment_part = base64(lines[3], 64);
    if (!signed_part || !comment_part || (*signed_part)[0] != 'E')
        return std::nullopt;
    Signature signature{};
    const unsigned char form = (*signed_part)[1];
    if (form != 'D' && form != 'd')
        return std::nullopt;
    signature.form = form == 'D' ? SignatureForm::prehashed : SignatureForm::legacy;
    std::copy_n(signed_part->begin() + 2, signature.key_id.size(), signature.key_id.begin());
    std::copy_n(signed_part->begin() + 10, signature.signature.size(), signature.signature.begin());
    signature.trusted_comment = lines[2].substr(TRUSTED.size());
    std::copy(comment_part->begin(), comment_part->end(), signature.comment_signature.begin());
    return signature;
}

Verdict verify(const PublicKey& key, const Signature& signature,
               std::span<const unsigned char> message) {
    Blake2b512 prehash{};
    if (signature.form != SignatureForm::prehashed || !blake2b512(message, prehash) ||
        !ed25519_verifies(key, signature.signature, prehash))
        return Verdict::bad_signature;
    // The trusted comment is signed together with the signature.
    std::vector<unsigned char> signed_comment(signature.signature.begin(),
                                              signature.signature.end());
    signed_comment.insert(signed_comment.end(), signature.trusted_comment.begin(),
                          signature.trusted_comment.end());
    return ed25519_verifies(key, signature.comment_signature, signed_comment)
               ? Verdict::good
               : Verdict::bad_trusted_comment;
}
