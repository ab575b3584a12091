#include "archive_run.h"

#include "batch.h"
#include "member_source.h"
#include "members.h"
#include "walk.h"

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

// How much of a member is read between two counts of the progress line.
constexpr std::size_t PROGRESS_PIECE = std::size_t{1} << 20;

// A member's bytes that are a manifest or signature, read whole; nullopt
// for a member that is not a regular file or is too long to be one.
std::optional<std::string> read_text_member(ArchiveReader& archive, const Member& member,
                                            bool& damaged) {
    if (member.kind != MemberKind::regular ||
        static_cast<std::size_t>(member.size) > MOST_MANIFEST_BYTES)
        return std::nullopt;
    std::string text(static_cast<std::size_t>(member.size), '\0');
    const IoResult got = archive.read({reinterpret_cast<unsigned char*>(text.data()), text.size()});
    damaged = got.error != 0 || got.count != text.size();
    return text;
}

// Where a run stands in an archive: the batch being gathered, whose members'
// bytes lie one after the other in spool.
struct ArchiveRun {
    ArchiveReader& archive;
    const ArchiveRunSettings& settings;
    Progress& progress;
    const ReportMembers& report;
    MemberRules rules;
    std::unique_ptr<unsigned char[]> spool;
    off_t spooled = 0; // bytes of spool that the batch's members hold
    std::vector<InstallJob> jobs;
    std::vector<std::optional<SpooledSource>> sources;
    std::vector<MemberResult> results;
    std::size_t count = 0; // jobs of the batch
    std::optional<Directories> directories;
    ArchiveTotals totals;

    ArchiveRun(ArchiveReader& reader, const ArchiveRunSettings& run_settings, Progress& shown,
               const ReportMembers& reporter)
        : archive(reader), settings(run_settings), progress(shown), report(reporter),
          rules(run_settings.excluded, run_settings.manifest),
          jobs(std::max<std::size_t>(run_settings.batch_files, 1)), sources(jobs.size()) {}
};

void report_results(ArchiveRun& run, std::span<const MemberResult> results) {
    for (std::size_t i = 0; i < results.size(); ++i)
        run.progress.file_done(0);
    run.totals.files += results.size();
    run.report(results);
}

// Runs the steps of the batch gathered, reports it, and starts the next one.
void run_batch(ArchiveRun& run) {
    if (run.count > 0) {
        const std::span<InstallJob> batch = std::span(run.jobs).first(run.count);
        run_steps(batch, FlushSchedule::each_file_system);
        for (std::size_t i = 0; i < run.count; ++i)
            run.results[i].result = std::move(batch[i].result);
        report_results(run, run.results);
    }
    run.results.clear();
    for (std::optional<SpooledSource>& source : run.sources)
        source.reset();
    run.count = 0;
    run.spooled = 0;
    run.directories.emplace();
    if (run.settings.dry != nullptr)
        run.settings.dry->next_batch();
}

// The batch's next job, for the member at path; a full batch is run first.
InstallJob& next_job(ArchiveRun& run, const std::string& path) {
    if (run.count == run.jobs.size())
        run_batch(run);
    run.results.push_back({path, {}});
    InstallJob& job = run.jobs[run.count++];
    job = InstallJob{};
    return job;
}

void fail_member(ArchiveRun& run, const std::string& path, Problem problem) {
    end_job(next_job(run, path), Failure{Step::open_update, 0, problem});
}

// A result of its own: the damage, or a listed file that the archive lacks.
MemberResult failed_result(const std::string& path, Problem problem,
                           const std::string& detail = "") {
    MemberResult failed{path, {}};
    failed.result.failure = {Step::open_update, 0, problem};
    failed.result.detail = detail;
    return failed;
}

// The damage ends the run: the batch before it is installed, then its line.
void end_at_damage(ArchiveRun& run, const std::string& path) {
    run_batch(run);
    const MemberResult damage = failed_result(path, Problem::damaged_archive, run.archive.error());
    report_results(run, {&damage, 1});
}

// Plans the install of the member whose bytes lie in the batch's spool:
// false when its installed file is one that an earlier member of the batch
// writes, which then has to start the next batch.
bool plan_spooled(ArchiveRun& run, const MemberPlan& plan, std::span<const unsigned char> bytes,
                  mode_t mode) {
    InstallJob& job = next_job(run, plan.path);
    const std::size_t slot = run.count - 1;
    if (!start_job(job, plan.path))
        return true;
    look_up(job, run.sources[slot].emplace(bytes, mode), *run.directories);
    DryRun* dry = run.settings.dry;
    if (written_in_this_batch(job, std::span(run.jobs).first(slot), dry)) {
        end_job(job, Outcome::failed);
        --run.count;
        run.results.pop_back();
        return false;
    }
    // An earlier member's bytes are gone by the time a dry run plans this
    // one: it compares with the version that member would have left only.
    if (dry != nullptr)
        job.assumed = dry->written_before(job);
    plan_job(job, run.settings.install, *run.directories, dry);
    return true;
}

// Copies a member into the batch's memory and plans its install; false
// where the archive is damaged.
bool spool_member(ArchiveRun& run, const MemberPlan& plan, const Member& member) {
    // The batch is run first when it has no room left for the member: its
    // bytes must not move once they are read.
    if (run.count == run.jobs.size() || run.spooled + member.size > BATCH_BYTES)
        run_batch(run);
    if (!run.spool)
        run.spool = std::make_unique_for_overwrite<unsigned char[]>(BATCH_BYTES);
    unsigned char* const start = run.spool.get() + run.spooled;
    const auto size = static_cast<std::size_t>(member.size);
    // Read a piece at a time, for the progress line.
    IoResult got;
    for (std::size_t at = 0; at < size && got.error == 0 && got.count == at;) {
        const std::size_t piece = std::min(size - at, PROGRESS_PIECE);
        const IoResult read = run.archive.read({start + at, piece});
        got = {at + read.count, read.error};
        at += piece;
        run.progress.read_to(run.archive.consumed());
    }
    if (got.error != 0 || got.count != size) {
        end_at_damage(run, plan.path);
        return false;
    }
    if (plan.digest != nullptr) {
        Sha256Stream hashed;
        hashed.add({start, size});
        Sha256 digest{};
        if (!hashed.finish(digest) || digest != *plan.digest) {
            fail_member(run, plan.path, Problem::hash_mismatch);
            return true;
        }
    }
    // Bytes read after the archive changed may mix two versions of it.
    if (!run.archive.unchanged()) {
        fail_member(run, plan.path, Problem::update_changed);
        return true;
    }
    run.spooled += member.size;
    if (plan_spooled(run, plan, {start, size}, member.mode))
        return true;
    // The member starts the next batch, its bytes moved to the start.
    run_batch(run);
    std::memmove(run.spool.get(), start, size);
    run.spooled = member.size;
    (void)plan_spooled(run, plan, {run.spool.get(), size}, member.mode);
    return true;
}

// Installs a member too large for a batch on its own, read as it is
// copied; false where the archive is damaged.
bool stream_member(ArchiveRun& run, const MemberPlan& plan, const Member& member) {
    run_batch(run);
    MemberResult done{plan.path, {}};
    InstallJob job;
    StreamSource stream(run.archive, member, plan.digest);
    if (start_job(job, plan.path)) {
        if (stream.start().error != 0) {
            end_job(job, Outcome::failed);
            end_at_damage(run, plan.path);
            return false;
        }
        look_up(job, stream, *run.directories);
        DryRun* dry = run.settings.dry;
        if (dry != nullptr)
            job.assumed = dry->written_before(job);
        plan_job(job, run.settings.install, *run.directories, dry);
        run_steps(
            {&job, 1}, FlushSchedule::each_file,
            {[&run](std::size_t, off_t) { run.progress.read_to(run.archive.consumed()); }, {}});
    }
    done.result = std::move(job.result);
    // What the install did not read is read now, for the next member, and
    // checked: a member that does not match its manifest fails, whatever the
    // install made of it (a copy written whole was checked before its header).
    if (!stream.drain()) {
        end_at_damage(run, plan.path);
        return false;
    }
    if (plan.digest != nullptr && !stream.matches()) {
        const bool changed = done.result.changed;
        done = failed_result(plan.path, Problem::hash_mismatch);
        done.result.changed = changed;
    }
    run.progress.read_to(run.archive.consumed());
    report_results(run, {&done, 1});
    run_batch(run); // the members after it make a batch of their own
    return true;
}

// Handles one member; false when the run ends there.
bool take_member(ArchiveRun& run, const Member& member) {
    const MemberPlan plan = run.rules.classify(member);
    switch (plan.verdict) {
    case MemberVerdict::skip:
    case MemberVerdict::exclude:
        return true;
    case MemberVerdict::fail:
        fail_member(run, plan.path, plan.problem);
        return true;
    case MemberVerdict::install:
        break;
    }
    return member.size > BATCH_BYTES ? stream_member(run, plan, member)
                                     : spool_member(run, plan, member);
}

} // namespace

ManifestTexts read_manifest_members(ArchiveReader& archive, std::optional<Member>& first,
                                    bool& damaged) {
    ManifestTexts texts;
    damaged = false;
    if (!first || without_dot_slash(first->path) != MANIFEST_NAME)
        return texts;
    texts.present = true;
    texts.manifest = read_text_member(archive, *first, damaged);
    first.reset();
    Member second;
    const NextMember next = damaged ? NextMember::damaged : archive.next(second);
    damaged = next == NextMember::damaged;
    if (next != NextMember::member)
        return texts;
    if (without_dot_slash(second.path) != SIGNATURE_NAME) {
        first = std::move(second);
        return texts;
    }
    texts.signature_present = true;
    texts.signature = read_text_member(archive, second, damaged);
    return texts;
}

ArchiveTotals install_archive(ArchiveReader& archive, std::optional<Member> next,
                              const ArchiveRunSettings& settings, Progress& progress,
                              const ReportMembers& report) {
    ArchiveRun run(archive, settings, progress, report);
    run.directories.emplace();
    if (settings.dry != nullptr)
        settings.dry->next_batch();
    for (;;) {
        Member member;
        const NextMember read = next ? NextMember::member : archive.next(member);
        if (next)
            member = std::move(*std::exchange(next, std::nullopt));
        if (read == NextMember::damaged) {
            end_at_damage(run, settings.archive_name);
            run.totals.excluded = run.rules.excluded();
            return run.totals;
        }
        if (read == NextMember::end)
            break;
        if (!take_member(run, member)) {
            run.totals.excluded = run.rules.excluded();
            return run.totals;
        }
    }
    run_batch(run);
    run.totals.excluded = run.rules.excluded();
    // Each listed file that the archive lacks, unless the run leaves it out.
    if (settings.manifest != nullptr) {
        std::vector<MemberResult> missing;
        for (const ManifestEntry& entry : settings.manifest->entries)
            if (!run.rules.seen(entry.path) && !left_out(settings.excluded, entry.path))
                missing.push_back(failed_result(entry.path, Problem::missing));
        if (!missing.empty())
            report_results(run, missing);
    }
    return run.totals;
}
