// Where an install reads its update from. The install reads every update
// through this one interface, so that a new kind of source (a file whose
// bytes are checked against a digest, a member of an archive) plugs in
// here without another path through the install's steps.
#pragma once

#include "block_encoding.h"
#include "failure.h"
#include "io.h"

#include <span>
#include <sys/stat.h>
#include <sys/types.h>

class UpdateSource {
  public:
    UpdateSource() = default;
    UpdateSource(const UpdateSource&) = delete;
    UpdateSource& operator=(const UpdateSource&) = delete;
    virtual ~UpdateSource() = default;

    // Its length when it was opened: the install reads no further, so an
    // update that grows meanwhile cannot fill the disk or keep the run going.
    [[nodiscard]] off_t length() const { return status().st_size; }

    // Its status as opened: its type and mode, and its identity (device and
    // inode), by which it is never installed onto itself.
    [[nodiscard]] virtual const struct stat& status() const = 0;

    // Up to BLOCK_SIZE bytes from its start, for the version gate.
    virtual IoResult first_block(std::span<unsigned char, BLOCK_SIZE> block) = 0;

    // The next bytes in order from its start, as many as fill bytes unless
    // it ends first.
    virtual IoResult read(std::span<unsigned char> bytes) = 0;

    // Bytes at offset, without moving on: for comparing with the installed copy.
    virtual IoResult read_at(std::span<unsigned char> bytes, off_t offset) = 0;

    // Bytes from its start that the installed copy was found to hold already
    // by a comparison that read them once and for all (a stream's): the
    // body step writes from there on.
    [[nodiscard]] virtual off_t in_place() const { return 0; }

    // After its last read: whether what was read is the update as it was
    // opened. Asked before the new header is written, so that an update
    // that changed meanwhile is never committed.
    [[nodiscard]] virtual bool unchanged() = 0;

    // Closes what it holds: the install is done with it.
    virtual void close() = 0;

    // Whether the bytes are the ones meant, before the install decides on
    // them: a source checked against a digest reads them all.
    virtual Failure verify() { return {}; }

    // Asks that no one may write to it until it is closed (a read lease):
    // true when granted. Someone who opens it for writing later breaks it.
    virtual bool lease() { return false; }
    [[nodiscard]] virtual bool lease_broken() const { return true; }
};
