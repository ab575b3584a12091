#include "archive_run.h"

#include "member_source.h"
#include "members.h"
#include "memory.h"
#include "target.h"
#include "walk.h"

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

// How much of a member is read between two counts of the progress line.
constexpr std::size_t PROGRESS_PIECE = std::size_t{1} << 20;

// A member's bytes that are a manifest or signature, read whole; nullopt
// for a member that is not a regular file or is longer than most: it is
// never read, and held no longer than it is needed.
std::optional<std::string> read_text_member(ArchiveReader& archive, const Member& member,
                                            std::size_t most, bool& damaged) {
    if (member.kind != MemberKind::regular || static_cast<std::size_t>(member.size) > most)
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
    World& world;
    const ArchiveRunSettings& settings;
    Progress& progress;
    const ReportMembers& report;
    MemberRules rules;
    Batch batch;
    std::optional<MappedBuffer> spool; // mapped at the first member spooled
    off_t spooled = 0;                 // bytes of spool that the batch's members hold
    std::vector<std::string> paths;    // of the batch's members
    ArchiveTotals totals;
    std::optional<off_t> free_space; // the dictionary's, last read

    ArchiveRun(ArchiveReader& reader, World& run_world, const ArchiveRunSettings& run_settings,
               Progress& shown, const ReportMembers& reporter)
        : archive(reader), world(run_world), settings(run_settings), progress(shown),
          report(reporter), rules(run_settings.excluded, run_settings.manifest),
          batch(run_world, {std::max<std::size_t>(run_settings.batch_files, 1), 0}) {}
};

void report_results(ArchiveRun& run, std::span<const MemberResult> results) {
    for (std::size_t i = 0; i < results.size(); ++i)
        run.progress.file_done(0);
    run.totals.files += results.size();
    run.report(results);
}

// Reports the results of a batch that ran, and starts the next one.
void report_batch(ArchiveRun& run, Batch& batch) {
    std::vector<MemberResult> results;
    results.reserve(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i)
        results.push_back({run.paths[i], batch.result(i)});
    if (!results.empty())
        report_results(run, results);
    run.paths.clear();
    batch.clear();
}

// Runs the steps of the batch gathered, reports it, and starts the next one.
void run_batch(ArchiveRun& run) {
    if (run.batch.size() > 0)
        write_and_commit(run.batch, FlushSchedule::each_file_system);
    report_batch(run, run.batch);
    run.spooled = 0;
}

// A failure of the member at path that needs no source.
void fail_member(ArchiveRun& run, const std::string& path, Problem problem) {
    if (run.batch.add_failed({Step::open_update, 0, problem}) == Added::full) {
        run_batch(run);
        (void)run.batch.add_failed({Step::open_update, 0, problem});
    }
    run.paths.push_back(path);
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

// Reads the member's bytes into the spool at start, a piece at a time for
// the progress line; false where the archive is damaged.
bool read_into_spool(ArchiveRun& run, unsigned char* start, std::size_t size) {
    IoResult got;
    for (std::size_t at = 0; at < size && got.error == 0 && got.count == at;) {
        const std::size_t piece = std::min(size - at, PROGRESS_PIECE);
        const IoResult read = run.archive.read({start + at, piece});
        got = {at + read.count, read.error};
        at += piece;
        run.progress.read_to(run.archive.consumed());
    }
    return got.error == 0 && got.count == size;
}

// Adds a spooled member to the batch; one whose installed file the batch
// writes already starts the next batch, its bytes moved to the spool's start.
void add_spooled(ArchiveRun& run, const MemberPlan& plan, std::span<unsigned char> bytes,
                 mode_t mode) {
    std::unique_ptr<UpdateSource> source = std::make_unique<SpooledSource>(bytes, mode);
    if (run.batch.add(plan.path, source) == Added::full) {
        run_batch(run);
        std::memmove(run.spool->bytes().data(), bytes.data(), bytes.size());
        source = std::make_unique<SpooledSource>(
            std::span<const unsigned char>(run.spool->bytes().data(), bytes.size()), mode);
        run.spooled = static_cast<off_t>(bytes.size());
        (void)run.batch.add(plan.path, source);
    }
    run.paths.push_back(plan.path);
}

bool stream_member(ArchiveRun& run, const MemberPlan& plan, const Member& member);

// Copies a member into the batch's memory and adds its install; false where
// the archive is damaged.
bool spool_member(ArchiveRun& run, const MemberPlan& plan, const Member& member) {
    // The batch is run first when it has no room left for the member: its
    // bytes must not move once they are read.
    if (!run.batch.has_room() || run.spooled + member.size > SPOOL_BYTES)
        run_batch(run);
    if (!run.spool)
        run.spool.emplace(static_cast<std::size_t>(SPOOL_BYTES));
    // Without the memory, each member streams on its own.
    if (!run.spool->valid())
        return stream_member(run, plan, member);
    unsigned char* const start = run.spool->bytes().data() + run.spooled;
    const auto size = static_cast<std::size_t>(member.size);
    if (!read_into_spool(run, start, size)) {
        end_at_damage(run, plan.path);
        return false;
    }
    if (plan.digest != nullptr) {
        SpooledSource held({start, size}, member.mode);
        if (digest_of(held).digest != *plan.digest) {
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
    add_spooled(run, plan, {start, size}, member.mode);
    return true;
}

// The streamed member's result, once all of it was read: damage, or bytes
// that are not the ones listed, fail it whatever the install made of it (a
// copy written whole was checked before its header), keeping what it changed.
void settle_stream(InstallResult& result, StreamEnd end, const std::string& damage) {
    if (end == StreamEnd::whole)
        return;
    result.outcome = Outcome::failed;
    result.failure = {Step::open_update, 0,
                      end == StreamEnd::damaged ? Problem::damaged_archive
                                                : Problem::hash_mismatch};
    result.detail = end == StreamEnd::damaged ? damage : "";
}

// Installs a member too large for a batch on its own, read as it is
// copied; false where the archive is damaged.
bool stream_member(ArchiveRun& run, const MemberPlan& plan, const Member& member) {
    run_batch(run);
    auto stream = std::make_unique<StreamSource>(run.archive, member, plan.digest);
    StreamSource& reading = *stream;
    if (reading.damaged()) {
        end_at_damage(run, plan.path);
        return false;
    }
    Batch one(run.world, {1, 0});
    std::unique_ptr<UpdateSource> source = std::move(stream);
    (void)one.add(plan.path, source);
    write_and_commit(
        one, FlushSchedule::each_file,
        {[&run](std::size_t, off_t) { run.progress.read_to(run.archive.consumed()); }, {}});
    MemberResult done{plan.path, one.result(0)};
    // What the install did not read is read now, for the next member, and
    // checked; a member that failed anyway is only left behind.
    const bool left_behind = done.result.outcome == Outcome::failed && !reading.taken_whole();
    const StreamEnd end = !left_behind         ? reading.finish()
                          : run.archive.skip() ? StreamEnd::whole
                                               : StreamEnd::damaged;
    settle_stream(done.result, end, run.archive.error());
    run.progress.read_to(run.archive.consumed());
    report_results(run, {&done, 1});
    run.batch.clear(); // the members after it make a batch of their own
    return end != StreamEnd::damaged;
}

// Whether reading past the member costs no more than what the dictionary
// could take: in a compressed archive its bytes must be decompressed even
// to be skipped, so one larger than the free space ends the run before
// they are read.
bool within_bound(ArchiveRun& run, const Member& member) {
    if (run.archive.compression() == Compression::none)
        return true;
    if (!run.free_space || member.stored() > *run.free_space)
        run.free_space = dictionary_free_space();
    return run.free_space && member.stored() <= *run.free_space;
}

// Handles one member; false when the run ends there.
bool take_member(ArchiveRun& run, const Member& member) {
    if (!within_bound(run, member)) {
        run_batch(run);
        const MemberResult too_large = failed_result(member.path, Problem::too_large);
        report_results(run, {&too_large, 1});
        return false;
    }
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
    return member.size > SPOOL_BYTES ? stream_member(run, plan, member)
                                     : spool_member(run, plan, member);
}

// Each listed file that the archive lacks, unless the run leaves it out.
void report_missing(ArchiveRun& run) {
    if (run.settings.manifest == nullptr)
        return;
    std::vector<MemberResult> missing;
    for (const std::string& path :
         listed_but_missing(*run.settings.manifest, run.settings.excluded,
                            [&run](const std::string& path) { return run.rules.seen(path); }))
        missing.push_back(failed_result(path, Problem::missing));
    if (!missing.empty())
        report_results(run, missing);
}

// The next member: the one read ahead, if any, or the archive's next.
NextMember next_member(ArchiveSource& source, Member& member) {
    if (!source.next)
        return source.archive.next(member);
    member = std::move(*std::exchange(source.next, std::nullopt));
    return NextMember::member;
}

} // namespace

ManifestTexts read_manifest_members(ArchiveReader& archive, std::optional<Member>& first,
                                    bool& damaged) {
    ManifestTexts texts;
    damaged = false;
    if (!first || without_dot_slash(first->path) != MANIFEST_NAME)
        return texts;
    texts.present = true;
    texts.manifest = read_text_member(archive, *first, MOST_MANIFEST_BYTES, damaged);
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
    texts.signature = read_text_member(archive, second, MOST_SIGNATURE_BYTES, damaged);
    return texts;
}

ArchiveTotals install_archive(ArchiveSource source, World& world,
                              const ArchiveRunSettings& settings, Progress& progress,
                              const ReportMembers& report) {
    ArchiveRun run(source.archive, world, settings, progress, report);
    for (;;) {
        Member member;
        const NextMember read = next_member(source, member);
        if (read == NextMember::damaged)
            end_at_damage(run, settings.archive_name);
        if (read != NextMember::member || !take_member(run, member)) {
            run.totals.excluded = run.rules.excluded();
            if (read == NextMember::end) {
                run_batch(run);
                report_missing(run);
            }
            return run.totals;
        }
    }
}
