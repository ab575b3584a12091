// The digests that signed updates rest on, computed by OpenSSL: SHA-256, as
// sha256sum prints it for each file of a manifest, and BLAKE2b-512, over
// which minisign signs a file.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

struct evp_md_ctx_st; // OpenSSL's EVP_MD_CTX

using Sha256 = std::array<unsigned char, 32>;
using Blake2b512 = std::array<unsigned char, 64>;

// A SHA-256 computed over bytes given piece by piece.
class Sha256Stream {
  public:
    Sha256Stream();
    ~Sha256Stream();
    Sha256Stream(const Sha256Stream&) = delete;
    Sha256Stream& operator=(const Sha256Stream&) = delete;

    void add(std::span<const unsigned char> bytes);
    // The digest of everything added; false when the library failed.
    bool finish(Sha256& digest);

  private:
    evp_md_ctx_st* context_;
    bool failed_ = false;
};

// false when the library failed.
bool blake2b512(std::span<const unsigned char> bytes, Blake2b512& digest);

// Lower-case hexadecimal, as sha256sum prints a digest.
std::string hex_text(std::span<const unsigned char> bytes);

// bytes written as twice as many hexadecimal digits (either case); false
// for anything else.
bool parse_hex(std::string_view text, std::span<unsigned char> bytes);

// The digest written as 64 hexadecimal digits (either case); false for
// anything else.
bool parse_sha256(std::string_view text, Sha256& digest);
