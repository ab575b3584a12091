// minisign's public key and signature files, as Debian's minisign writes
// them, and the check of a signature: Ed25519 over BLAKE2b-512 of the file
// (the prehashed form, "ED"), then over the signature and its trusted
// comment. The legacy form ("Ed", over the whole file) is recognised only
// to be refused.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

using KeyId = std::array<unsigned char, 8>;

// The key ID as minisign prints it: the 8 bytes as one little-endian
// number, in 16 upper-case hexadecimal digits.
std::string key_id_text(const KeyId& id);
// The key ID from its 16 hexadecimal digits (either case); nullopt for anything else.
std::optional<KeyId> parse_key_id(std::string_view text);

struct PublicKey {
    KeyId id;
    std::array<unsigned char, 32> key;
};

// A public key file: an optional "untrusted comment:" line, then the key in
// base64. nullopt for anything else.
std::optional<PublicKey> parse_public_key(std::string_view file);

enum class SignatureForm { prehashed, legacy };

struct Signature {
    SignatureForm form;
    KeyId key_id;
    std::array<unsigned char, 64> signature;
    std::string trusted_comment;
    std::array<unsigned char, 64> comment_signature; // over signature and trusted_comment
};

// A signature file: "untrusted comment:", the signature in base64,
// "trusted comment:", its signature in base64. nullopt for anything else.
std::optional<Signature> parse_signature(std::string_view file);

enum class Verdict {
    good,
    bad_signature,       // the file's signature does not verify
    bad_trusted_comment, // the trusted comment's does not
};

// Checks a prehashed signature of message with key.
Verdict verify(const PublicKey& key, const Signature& signature,
               std::span<const unsigned char> message);
