// The update that an archive member is, as the install reads it. Its status
// is made from the member's header: a regular file with the publisher's
// permission bits and its length, and no identity (device and inode 0), so
// that it is never taken for an installed copy.
#pragma once

#include "archive_reader.h"
#include "digest.h"
#include "source.h"

#include <array>
#include <optional>
#include <span>
#include <vector>

struct stat member_status(off_t size, mode_t mode);

// A member whose bytes were copied into the run's own memory before its
// install began: no one else can change them.
class SpooledSource final : public RereadableSource {
  public:
    // bytes outlive this.
    SpooledSource(std::span<const unsigned char> bytes, mode_t mode)
        : bytes_(bytes), status_(member_status(static_cast<off_t>(bytes.size()), mode)) {}

    [[nodiscard]] const struct stat& status() const override { return status_; }
    IoResult first_block(std::span<unsigned char, BLOCK_SIZE> block) override;
    IoResult read(std::span<unsigned char> bytes) override;
    IoResult read_at(std::span<unsigned char> bytes, off_t offset) override;
    [[nodiscard]] bool unchanged() override { return true; }

  private:
    std::span<const unsigned char> bytes_;
    std::size_t read_ = 0;
    struct stat status_;
};

// How a streamed member ended: read whole (and matching its manifest's
// digest, when one is listed), damaged, or not the bytes listed.
enum class StreamEnd { whole, damaged, mismatch };

// A member too large to be held: read from the archive once, hashed on the
// way. Its first block is kept for the version gate. A comparison with the
// installed copy reads it forward, keeping the chunk that differs: the
// bytes before it, the same as the copy's, need not be written, and the
// body step reads on from that chunk.
class StreamSource final : public UpdateSource {
  public:
    // archive is at the member's bytes; expected, when given, outlives this.
    // The first block is read at once: damaged() tells whether it could be.
    StreamSource(ArchiveReader& archive, const Member& member, const Sha256* expected);

    [[nodiscard]] const struct stat& status() const override { return status_; }
    IoResult first_block(std::span<unsigned char, BLOCK_SIZE> block) override;
    IoResult read(std::span<unsigned char> bytes) override;
    // All of it read, the archive as it was opened, and the digest right.
    [[nodiscard]] bool unchanged() override;
    Comparison compare_with(int copy, Decoding decoding) override;
    std::optional<Sha256> digest() override;

    [[nodiscard]] bool damaged() const { return damaged_; }
    // Whether all of it was taken from the archive already.
    [[nodiscard]] bool taken_whole() const { return taken_ == length(); }
    // Reads what the install left of it, so that the archive moves on to
    // the next member, and says how it ended.
    StreamEnd finish();

  private:
    // Takes more from the archive until held_ holds size bytes from held_start_.
    IoResult hold(std::size_t size);
    // Forgets the held bytes before offset.
    void drop_before(off_t offset);
    [[nodiscard]] bool matches();

    ArchiveReader& archive_;
    struct stat status_;
    const Sha256* expected_;
    std::array<unsigned char, BLOCK_SIZE> first_{};
    std::size_t first_size_ = 0;
    std::vector<unsigned char> held_; // taken from the archive, not yet read
    off_t held_start_ = 0;            // the offset of held_'s first byte
    off_t taken_ = 0;                 // bytes taken from the archive
    bool damaged_ = false;
    Sha256Stream hashed_;
    std::optional<Sha256> digest_; // once all is taken
};
