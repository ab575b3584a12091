// An update whose bytes must be the ones that its manifest lists: every
// byte is hashed before the install decides on it, and the bytes copied
// are known to be those bytes when the new header is written, either
// because no one could write to the file since (a read lease held from the
// check to the commit) or because they were hashed again as they were
// copied. An update that changed meanwhile is never committed.
#pragma once

#include "digest.h"
#include "file_source.h"
#include "prehash.h"

#include <optional>

// A lease costs two calls a file; a file that the copy reads in a few
// chunks costs less hashed again as it is copied.
inline constexpr off_t LEASE_FROM = off_t{1} << 20;

class VerifiedSource final : public RereadableSource {
  public:
    // Checks the file that it opens against expected, which outlives this.
    // prehashed: the digest that a Prehasher found, which counts only for
    // the same file, unchanged, its lease unbroken.
    explicit VerifiedSource(const Sha256& expected,
                            std::optional<Prehashed> prehashed = std::nullopt)
        : expected_(expected), prehashed_(std::move(prehashed)) {}

    // Opens the file as FileSource::open does.
    Failure open(int dir, const char* path, Walk rules) { return file_.open(dir, path, rules); }
    // Whether the bytes are the ones listed, before the install decides on them.
    Failure verify();

    [[nodiscard]] const struct stat& status() const override { return file_.status(); }
    IoResult first_block(std::span<unsigned char, BLOCK_SIZE> block) override;
    IoResult read(std::span<unsigned char> bytes) override;
    IoResult read_at(std::span<unsigned char> bytes, off_t offset) override;
    [[nodiscard]] bool unchanged() override;
    std::optional<Sha256> digest() override { return expected_; }

  private:
    FileSource file_;
    const Sha256& expected_;
    bool verified_ = false;
    std::optional<Prehashed> prehashed_;
    bool leased_ = false;   // no one has written since the check
    Sha256Stream copied_{}; // without a lease: the bytes as they are copied
};
