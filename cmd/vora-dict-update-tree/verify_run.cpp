#include "verify_run.h"

#include "file_source.h"
#include "member_source.h"
#include "members.h"
#include "target.h"
#include "tree_run.h"

#include <utility>

namespace {

Verified failed_with(const Failure& failure) {
    Verified verified;
    verified.failure = failure;
    return verified;
}

// The tree's file opened as its update: from the top, following no link.
Failure open_update(int top, const TreeFile& file, FileSource& update) {
    return update.open(top, file.path.c_str(), Walk::beneath | Walk::no_links);
}

// A file with a digest: the copy is hashed, and the update read only to
// tell the versions of a copy that differs.
Verified verify_by_digest(const TreeFile& file, int top, Directories& directories) {
    Verified verified = verify_installed(file.path, {nullptr, file.digest}, directories);
    FileSource update;
    if (verified.state == VerifyState::modified && file.entry == TreeEntry::regular &&
        !open_update(top, file, update).failed())
        read_update_version(update, decoding_of(file.path.c_str()), verified);
    return verified;
}

Verified verify_tree_file(const TreeFile& file, int top, Directories& directories) {
    if (file.digest != nullptr)
        return verify_by_digest(file, top, directories);
    if (file.entry != TreeEntry::regular)
        return failed_with(walk_failure(file));
    FileSource update;
    if (const Failure failure = open_update(top, file, update); failure.failed())
        return failed_with(failure);
    return verify_installed(file.path, {&update, nullptr}, directories);
}

// Where a verification stands in an archive.
struct ArchiveVerify {
    ArchiveReader& archive;
    const ArchiveRunSettings& settings;
    const ReportVerified& report;
    MemberRules rules;
    Directories directories;
    ArchiveTotals totals;
    off_t read = 0;                  // member bytes read or skipped
    std::optional<off_t> most_bytes; // what the dictionary's file system could hold

    void verified(std::string_view path, const Verified& verified) {
        ++totals.files;
        report(path, verified);
    }
};

Verified damaged() {
    return failed_with({Step::open_update, 0, Problem::damaged_archive});
}

// After damage, each file that the manifest lists and the run did not reach.
void fail_unreached(ArchiveVerify& run) {
    if (run.settings.manifest == nullptr)
        return;
    for (const std::string& path :
         listed_but_missing(*run.settings.manifest, run.settings.excluded,
                            [&run](const std::string& path) { return run.rules.seen(path); }))
        run.verified(path, damaged());
}

// Verifies the member at its bytes and moves past them; false where the
// archive is damaged.
bool verify_member(ArchiveVerify& run, const MemberPlan& plan, const Member& member) {
    StreamSource stream(run.archive, member, nullptr);
    if (stream.damaged())
        return false;
    const Verified verified = verify_installed(plan.path, {&stream, plan.digest}, run.directories);
    // With a digest the member's bytes past its first block are not needed.
    const bool whole = stream.taken_whole()     ? true
                       : plan.digest != nullptr ? run.archive.skip()
                                                : stream.finish() == StreamEnd::whole;
    if (whole)
        run.verified(plan.path, verified);
    return whole;
}

// Whether reading past the member keeps within what the dictionary could
// hold: a compressed archive's members are decompressed even to be passed,
// and no more of them can be installed than its file system's size.
bool within_bound(ArchiveVerify& run, const Member& member) {
    run.read += member.stored();
    if (run.archive.compression() == Compression::none)
        return true;
    if (!run.most_bytes)
        run.most_bytes = dictionary_file_system_size();
    return run.most_bytes && run.read <= *run.most_bytes;
}

// Verifies one member; false when the run ends there.
bool take_member(ArchiveVerify& run, const Member& member) {
    const MemberPlan plan = run.rules.classify(member);
    if (plan.verdict == MemberVerdict::skip || plan.verdict == MemberVerdict::exclude)
        return true;
    if (plan.verdict == MemberVerdict::fail) {
        run.verified(plan.path, failed_with({Step::open_update, 0, plan.problem}));
        return true;
    }
    if (!within_bound(run, member)) {
        run.verified(plan.path, failed_with({Step::open_update, 0, Problem::too_large}));
        return false;
    }
    if (verify_member(run, plan, member))
        return true;
    run.verified(plan.path, damaged());
    fail_unreached(run);
    return false;
}

// Each listed file that the archive lacks, verified by its digest alone.
void verify_missing(ArchiveVerify& run) {
    if (run.settings.manifest == nullptr)
        return;
    const Manifest& manifest = *run.settings.manifest;
    for (const std::string& path :
         listed_but_missing(manifest, run.settings.excluded,
                            [&run](const std::string& path) { return run.rules.seen(path); }))
        run.verified(path,
                     verify_installed(path, {nullptr, manifest.digest_of(path)}, run.directories));
}

} // namespace

void verify_tree(const std::vector<TreeFile>& files, int top, const ReportVerified& report) {
    Directories directories;
    for (const TreeFile& file : files)
        report(file.path, verify_tree_file(file, top, directories));
}

ArchiveTotals verify_archive(ArchiveSource source, const ArchiveRunSettings& settings,
                             const ReportVerified& report) {
    ArchiveVerify run{
        source.archive, settings, report, {settings.excluded, settings.manifest}, {}, {}, 0,
        std::nullopt};
    for (;;) {
        Member member;
        NextMember read = NextMember::member;
        if (source.next)
            member = std::move(*std::exchange(source.next, std::nullopt));
        else
            read = source.archive.next(member);
        if (read == NextMember::damaged && settings.manifest == nullptr)
            run.verified(settings.archive_name, damaged());
        if (read == NextMember::damaged)
            fail_unreached(run);
        if (read != NextMember::member || !take_member(run, member)) {
            if (read == NextMember::end)
                verify_missing(run);
            run.totals.excluded = run.rules.excluded();
            return run.totals;
        }
    }
}
