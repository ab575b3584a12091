// The tree command's run over a publisher's archive: its manifest and
// signature judged before any other member is read; an unsigned compressed
// archive proved whole before anything of it is committed; then its
// members installed in batches under the lock.
#include "commands.h"

#include "archive_proof.h"
#include "archive_run.h"
#include "run.h"
#include "target.h"
#include "verify_run.h"

#include <memory>

namespace {

// An archive read up to the first member to install.
struct OpenArchive {
    std::unique_ptr<ArchiveReader> archive = std::make_unique<ArchiveReader>();
    std::optional<Member> first{std::in_place};
    ManifestTexts texts;
};

// Opens the archive at fd from where it stands and reads its manifest pair;
// -1 to go on, else the exit status of the refusal.
int open_archive(const Options& options, const Argument& argument, OpenArchive& open) {
    const std::string name = escaped(options.directory);
    ArchiveReader& archive = *open.archive;
    const NextMember read = archive.open(argument.fd.get(), argument.status)
                                ? archive.next(*open.first)
                                : NextMember::damaged;
    if (read == NextMember::damaged)
        return refuse(options.format, name + ": not a tar archive", escaped(archive.error()));
    if (read == NextMember::end)
        open.first.reset();
    // The signature is checked before any other member is read.
    bool damaged = false;
    open.texts = read_manifest_members(archive, open.first, damaged);
    if (damaged)
        return refuse(options.format, name + ": the archive is damaged", escaped(archive.error()));
    return -1;
}

TreeManifest judge(const Options& options, OpenArchive& open, const TrustedKeys& keys) {
    TreeManifest trust = judge_manifest(std::move(open.texts), keys, options.trust);
    // In an archive the pair has its place: first.
    if (trust.refusal.why == Distrust::unsigned_tree)
        trust.refusal.message = trust.present
                                    ? std::string(SIGNATURE_NAME) +
                                          ": not the archive's second member, and keys are trusted"
                                    : std::string(MANIFEST_NAME) +
                                          ": not the archive's first member, and keys are trusted";
    return trust;
}

// One failed line for what the proof found, and the summary: nothing of the
// archive was committed.
int fail_whole(const Options& options, const ArchiveProof& proof, const TreeManifest& trust) {
    Progress progress(1, 0, plain_terminal());
    Output output{options, progress, {}, 0};
    MemberResult failed{options.directory, {}};
    const bool damaged = proof.verdict == ArchiveProof::Verdict::damaged;
    failed.result.failure = {Step::open_update, 0,
                             damaged ? Problem::damaged_archive : Problem::too_large};
    if (damaged)
        failed.result.detail = proof.detail;
    else
        failed.path = proof.detail;
    output.lines(1, [&failed](std::size_t) {
        return std::pair<const std::string&, const InstallResult&>(failed.path, failed.result);
    });
    return finish(options, 1, output, trust);
}

// Proves an unsigned compressed archive whole, then opens it afresh; -1 to
// go on, else the exit status.
int prove(const Options& options, const Argument& argument, const TreeManifest& trust,
          OpenArchive& open) {
    if (trust.signed_by_key || open.archive->compression() == Compression::none)
        return -1;
    const off_t bound = dictionary_free_space().value_or(0);
    if (const ArchiveProof proof = prove_archive(argument.fd.get(), argument.status, bound);
        proof.verdict != ArchiveProof::Verdict::whole)
        return fail_whole(options, proof, trust);
    open = OpenArchive{};
    return open_archive(options, argument, open);
}

} // namespace

int run_archive(const Options& options, const Argument& argument, const TrustedKeys& keys,
                const BatchCapacity& capacity) {
    OpenArchive open;
    if (const int status = open_archive(options, argument, open); status >= 0)
        return status;
    TreeManifest trust = judge(options, open, keys);
    if (trust.refusal.refused())
        return refuse_trust(options.format, trust.refusal);
    if (const int status = prove(options, argument, trust, open); status >= 0)
        return status;
    std::optional<RunLock> lock;
    if (const int status = take_lock(options, trust, lock); status >= 0)
        return status;
    Progress progress(Progress::UNKNOWN_FILES, open.archive->file_size(), plain_terminal());
    Output output{options, progress, {}, 0};
    RunWorld world(options, lock);
    ArchiveRunSettings settings;
    settings.excluded = options.excluded;
    settings.manifest = trust.present ? &trust.manifest : nullptr;
    settings.batch_files = capacity.files;
    settings.archive_name = options.directory;
    const ArchiveTotals totals =
        install_archive({*open.archive, std::move(open.first)}, *world, settings, progress,
                        [&output](std::span<const MemberResult> results) {
                            output.lines(results.size(), [&](std::size_t i) {
                                return std::pair<const std::string&, const InstallResult&>(
                                    results[i].path, results[i].result);
                            });
                        });
    output.counts.excluded = totals.excluded;
    return finish(options, totals.files, output, trust);
}

int verify_archive_command(const Options& options, const Argument& argument,
                           const TrustedKeys& keys) {
    OpenArchive open;
    if (const int status = open_archive(options, argument, open); status >= 0)
        return status;
    const TreeManifest trust = judge(options, open, keys);
    if (trust.refusal.refused())
        return refuse_trust(options.format, trust.refusal);
    VerifyOutput output{options, {}, 0};
    ArchiveRunSettings settings;
    settings.excluded = options.excluded;
    settings.manifest = trust.present ? &trust.manifest : nullptr;
    settings.archive_name = options.directory;
    const ArchiveTotals totals =
        verify_archive({*open.archive, std::move(open.first)}, settings,
                       [&output](std::string_view path, const Verified& verified) {
                           output.line(path, verified);
                       });
    output.counts.excluded = totals.excluded;
    return finish_verify(totals.files, output, trust);
}
