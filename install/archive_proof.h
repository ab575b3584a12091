// The proof that a compressed archive is whole before anything of it is
// committed: read through once, every header and the compressed data's
// checksums and end, so that damage anywhere in it shows before the
// install. An archive without a signature has nothing else that vouches
// for its bytes; one signed has each member's digest.
#pragma once

#include <string>
#include <sys/stat.h>
#include <sys/types.h>

struct ArchiveProof {
    enum class Verdict { whole, damaged, too_large } verdict = Verdict::whole;
    std::string detail; // the library's words for damage; the member that is too large
};

// Reads the archive open as fd (status as it was opened) from its start,
// and leaves it at its start again. A member larger than bound, the free
// space that it could be installed to, ends the proof before its bytes are
// read: the work of a run is bounded by what it could install.
ArchiveProof prove_archive(int fd, const struct stat& status, off_t bound);
