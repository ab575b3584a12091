// Where an install reads its update from. Every source keeps one contract,
// reading forward only, so that a new kind of source (a file whose bytes
// are checked against a digest, a member of an archive, bytes handed over a
// pipe) plugs in here without another path through the install.
#pragma once

#include "block_encoding.h"
#include "digest.h"
#include "io.h"

#include <optional>
#include <span>
#include <sys/stat.h>
#include <sys/types.h>

// How an update's bytes become the installed file's: as they are, or each
// BLOCK_SIZE block of the file decoded (an installed file named *.ejd).
enum class Decoding { plain, ejd };
Decoding decoding_of(const char* installed_path);

// What comparing an update with an installed copy found: whether the copy
// holds exactly what the install would write, and how many bytes from the
// update's start a source that reads forward only has read and found there
// already, so that the install writes from there on.
struct Comparison {
    bool same = false;
    off_t in_place = 0;
};

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

    // The next bytes in order, as many as fill bytes unless it ends first.
    virtual IoResult read(std::span<unsigned char> bytes) = 0;

    // After its last read: whether what was read is the update as it was
    // opened. Asked before the new header is written, so that an update
    // that changed meanwhile is never committed.
    [[nodiscard]] virtual bool unchanged() = 0;

    // Compares what installing it would write (decoded as decoding says)
    // with the copy open as copy, as long as the update.
    virtual Comparison compare_with(int copy, Decoding decoding) = 0;

    // The SHA-256 of all its bytes, once they can be known: at once where it
    // can be read again, else after its last byte was read; nullopt where
    // they cannot be had.
    virtual std::optional<Sha256> digest() = 0;
};

// A source that can read again from any offset, a file or bytes held in
// memory: it compares and hashes itself without moving on.
class RereadableSource : public UpdateSource {
  public:
    // Bytes at offset, as many as fill bytes unless it ends first.
    virtual IoResult read_at(std::span<unsigned char> bytes, off_t offset) = 0;

    Comparison compare_with(int copy, Decoding decoding) override;
    std::optional<Sha256> digest() override;
};

// The one loop that hashes update bytes: the whole of source, from its
// start. No digest when a read fails (error) or the library does.
struct Digested {
    std::optional<Sha256> digest;
    int error = 0;
};
Digested digest_of(RereadableSource& source);
