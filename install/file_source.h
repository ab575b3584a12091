// An update that is a file: in an update tree, reached from the tree's top
// without following a link or leaving it; for the single tool, the path as
// its caller typed it, links followed.
#pragma once

#include "failure.h"
#include "fd.h"
#include "resolve.h"
#include "source.h"

class FileSource final : public UpdateSource {
  public:
    FileSource() = default;

    // Opens the update at path below dir, following links as links says,
    // only when it is a regular file: opening a device node can make the
    // device act, and a FIFO could hold the run. walked, when given, is what
    // a walk of the tree found at path without following a link: nothing
    // is read through a link, nor anything but a regular file opened.
    Failure open(int dir, const char* path, Links links, const struct stat* walked = nullptr);

    [[nodiscard]] const struct stat& status() const override { return status_; }
    IoResult first_block(std::span<unsigned char, BLOCK_SIZE> block) override;
    IoResult read(std::span<unsigned char> bytes) override;
    IoResult read_at(std::span<unsigned char> bytes, off_t offset) override;
    // A change of its length or times means that what was read may mix two versions.
    [[nodiscard]] bool unchanged() override;

    void close() override { fd_.reset(); }
    bool lease() override;
    [[nodiscard]] bool lease_broken() const override;

  private:
    UniqueFd fd_;
    struct stat status_ {};
};
