#include "archive_proof.h"

#include "archive_reader.h"

#include <unistd.h>

namespace {

ArchiveProof damaged(const ArchiveReader& archive) {
    return {ArchiveProof::Verdict::damaged, archive.error()};
}

ArchiveProof read_through(int fd, const struct stat& status, off_t bound) {
    ArchiveReader archive;
    if (!archive.open(fd, status))
        return damaged(archive);
    for (;;) {
        Member member;
        const NextMember next = archive.next(member);
        if (next == NextMember::damaged)
            return damaged(archive);
        if (next == NextMember::end)
            return archive.finish() ? ArchiveProof{} : damaged(archive);
        if (member.stored() > bound)
            return {ArchiveProof::Verdict::too_large, member.path};
        if (!archive.skip())
            return damaged(archive);
    }
}

} // namespace

ArchiveProof prove_archive(int fd, const struct stat& status, off_t bound) {
    if (lseek(fd, 0, SEEK_SET) != 0)
        return {ArchiveProof::Verdict::damaged, "cannot be read twice"};
    ArchiveProof proof = read_through(fd, status, bound);
    if (lseek(fd, 0, SEEK_SET) != 0 && proof.verdict == ArchiveProof::Verdict::whole)
        proof = {ArchiveProof::Verdict::damaged, "cannot be read twice"};
    return proof;
}
