// A publisher's archive as the install reads it: one regular file, read
// once from start to end through libarchive's read interface, with the tar
// format and the gzip, xz and zstd filters (recognised by content) and no
// others. Nothing is ever extracted by the library: each member's bytes
// are handed over as they come.
#pragma once

#include "io.h"

#include <clocale>
#include <cstdint>
#include <span>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

struct archive;

enum class MemberKind { regular, directory, symbolic_link, hard_link, other };

struct Member {
    std::string path; // as the archive names it
    MemberKind kind = MemberKind::other;
    off_t size = 0;  // of a regular member's bytes
    mode_t mode = 0; // its permission bits, as the publisher set them
};

enum class NextMember { member, end, damaged };

class ArchiveReader {
  public:
    ArchiveReader() = default;
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    // Reads the regular file open as fd (which stays the caller's, and
    // whose status is status); false, with error() saying why, when the
    // library cannot.
    bool open(int fd, const struct stat& status);

    // The next member's header; damaged with error() set.
    NextMember next(Member& member);

    // The next bytes of the current member, as many as fill bytes unless it
    // ends; error set where the archive is damaged.
    IoResult read(std::span<unsigned char> bytes);

    // What went wrong, in the library's words.
    [[nodiscard]] const std::string& error() const { return error_; }

    // Bytes of the archive file read so far, compressed as they lie.
    [[nodiscard]] std::int64_t consumed() const;

    // The file's length, and whether it is still as it was opened: a change
    // of its length or times means that the bytes read may mix two versions.
    [[nodiscard]] off_t file_size() const { return status_.st_size; }
    [[nodiscard]] bool unchanged() const;

  private:
    void take_error();

    ::archive* archive_ = nullptr;
    int fd_ = -1;
    struct stat status_ {};
    locale_t names_ = nullptr; // the charset that member names are read in
    std::string error_;
};
