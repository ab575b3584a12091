// An update that is a file: in an update tree, reached from the tree's top
// without following a link or leaving it; for the single tool, the path as
// its caller typed it.
#pragma once

#include "failure.h"
#include "fd.h"
#include "resolve.h"
#include "source.h"

class FileSource final : public RereadableSource {
  public:
    FileSource() = default;

    // Opens the update at path below dir, under the walk's rules, only when
    // it is a regular file: opening a device node can make the device act,
    // and a FIFO could hold the run.
    Failure open(int dir, const char* path, Walk rules);

    [[nodiscard]] const struct stat& status() const override { return status_; }
    IoResult first_block(std::span<unsigned char, BLOCK_SIZE> block) override;
    IoResult read(std::span<unsigned char> bytes) override;
    IoResult read_at(std::span<unsigned char> bytes, off_t offset) override;
    // A change of its length or times means that what was read may mix two versions.
    [[nodiscard]] bool unchanged() override;

    // Asks that no one may write to it until it is closed (a read lease):
    // true when granted. Someone who opens it for writing later breaks it.
    bool lease();
    [[nodiscard]] bool lease_held() const;
    // Gives up the descriptor, which holds the lease, to the caller.
    UniqueFd release() { return std::move(fd_); }

  private:
    UniqueFd fd_;
    struct stat status_ {};
};
