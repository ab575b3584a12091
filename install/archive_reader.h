// A publisher's archive as the install reads it: one regular file (or
// pipe), read once from start to end, its compression (gzip, xz, zstd or
// none, told by its first bytes) undone by the codecs here and its tar
// format read through libarchive's read interface, with no filter of the
// library's own. Nothing is ever extracted by the library: each member's
// bytes are handed over as they come.
#pragma once

#include "codec.h"
#include "io.h"

#include <array>
#include <clocale>
#include <cstdint>
#include <span>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

struct archive;

// A sparse member's holes would be read as zeros however large: it is no
// regular file here.
enum class MemberKind { regular, directory, symbolic_link, hard_link, other };

struct Member {
    std::string path; // as the archive names it
    MemberKind kind = MemberKind::other;
    off_t size = 0;      // of a regular member's bytes
    mode_t mode = 0;     // its permission bits, as the publisher set them
    bool sparse = false; // stored without its holes: size is what it would unpack to
    // The bytes that reading past it costs.
    [[nodiscard]] off_t stored() const { return sparse ? 0 : size; }
};

enum class NextMember { member, end, damaged };

class ArchiveReader {
  public:
    ArchiveReader() = default;
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    // Reads the file open as fd (which stays the caller's, and whose status
    // is status) from where it stands; false, with error() saying why, when
    // it cannot be read as an archive.
    bool open(int fd, const struct stat& status);

    // The next member's header; damaged with error() set.
    NextMember next(Member& member);

    // The next bytes of the current member, as many as fill bytes unless it
    // ends; error set where the archive is damaged.
    IoResult read(std::span<unsigned char> bytes);

    // Leaves the rest of the current member: at the cost of its stored
    // bytes, sought past in an uncompressed file. false where it breaks.
    bool skip();

    // After the last member: reads to the end of the compressed data and
    // checks it whole. false, with error(), when it is not.
    bool finish();

    // What went wrong, in the library's words.
    [[nodiscard]] const std::string& error() const { return error_; }

    [[nodiscard]] Compression compression() const { return decompressor_.compression(); }
    // Bytes of the archive file read so far, compressed as they lie.
    [[nodiscard]] std::int64_t consumed() const { return decompressor_.consumed(); }

    // The file's length, and whether it is still as it was opened: a change
    // of its length or times means that the bytes read may mix two versions.
    [[nodiscard]] off_t file_size() const { return status_.st_size; }
    [[nodiscard]] bool unchanged() const;

  private:
    struct Callbacks; // the library's read and skip, over the decompressor
    friend struct Callbacks;
    void take_error();

    ::archive* archive_ = nullptr;
    int fd_ = -1;
    struct stat status_ {};
    locale_t names_ = nullptr; // the charset that member names are read in
    Decompressor decompressor_;
    std::array<unsigned char, std::size_t{256} * 1024> block_{}; // handed to the library
    bool damaged_ = false; // the decompressor met damage behind the bytes handed over
    std::string error_;
};
