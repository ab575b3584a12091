// An update whose bytes must be the ones that its manifest lists: every
// byte is hashed before the install decides on it, and the bytes copied
// are known to be those bytes when the new header is written, either
// because no one could write to the file since (a read lease held from the
// check to the commit) or because they were hashed again as they were
// copied. An update that changed meanwhile is never committed.
#pragma once

#include "digest.h"
#include "source.h"

class VerifiedSource final : public UpdateSource {
  public:
    // Verifies update against expected; both outlive this.
    VerifiedSource(UpdateSource& update, const Sha256& expected)
        : update_(update), expected_(expected) {}

    [[nodiscard]] const struct stat& status() const override { return update_.status(); }
    IoResult first_block(std::span<unsigned char, BLOCK_SIZE> block) override;
    IoResult read(std::span<unsigned char> bytes) override;
    IoResult read_at(std::span<unsigned char> bytes, off_t offset) override;
    [[nodiscard]] bool unchanged() override;
    void close() override { update_.close(); }
    Failure verify() override;

  private:
    UpdateSource& update_;
    const Sha256& expected_;
    bool verified_ = false;
    bool leased_ = false;   // no one has written since the check
    Sha256Stream copied_{}; // without a lease: the bytes as they are copied
};
