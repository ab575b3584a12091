// The first part of an install: everything that is decided and opened
// before the installed file is written to, in order. A dry run stops here,
// having made the same checks that would make the real run fail.
#include "install.h"

#include "block_encoding.h"
#include "gate.h"
#include "io.h"
#include "process.h"

#include <sys/stat.h>

namespace {

Failure plan_failure(int error, Problem problem = Problem::none) {
    return {Step::plan, error, problem};
}

// A file-size limit below the update's length would stop the copy halfway.
bool exceeds_file_size_limit(off_t length, rlim_t limit) {
    return limit != RLIM_INFINITY && static_cast<rlim_t>(length) > limit;
}

// The version gate over the copy open as reading (-1: none), or over the
// version that an earlier file of a dry run would have left there.
bool gate_says_current(InstallJob& job, int reading) {
    VersionTexts& texts = job.result.texts;
    const bool encoded = is_ejd_name(job.target.relative_path());
    if (!job.assumed)
        return installed_is_current(*job.update, encoded, reading, texts);
    texts.installed_text = job.assumed->version;
    std::array<char, VERSION_DIGITS_SIZE> digits{};
    VersionText text{};
    const VersionValue installed = parse_version_token(texts.installed_text.data(), text, digits);
    return is_current(installed, update_version(*job.update, encoded, texts.update_text));
}

// Why the install must not go on whatever the versions say: an installed
// path that is not a regular file, the update itself, or a link to nothing.
Failure refusal(const InstallJob& job) {
    const Target& target = job.target;
    const UpdateSource& update = *job.update;
    if (target.existed && !S_ISREG(target.status.st_mode))
        return plan_failure(0, Problem::not_regular);
    // Decoding a file onto itself would destroy it.
    if (target.existed && same_file(target.status, update.status()))
        return plan_failure(0, Problem::same_file);
    if (target.dangling)
        return plan_failure(ENOENT);
    return {};
}

// A file that others may not read (a hard link to a secret, or a tree
// swapped for another) must not become one that others may read: its bytes
// go only into a copy that root alone can read, and nothing of it, not even
// its version, is read before that is known.
bool is_private(const UpdateSource& update) {
    return (update.status().st_mode & S_IROTH) == 0;
}

const Failure KEPT_PRIVATE{Step::open_update, 0, Problem::not_readable_by_others};

// Whether only root can read the file with status, open as fd (-1: its
// access ACL cannot be asked): root's, no group or other read bit, no ACL.
bool only_root_reads(const struct stat& status, int fd) {
    return status.st_uid == 0 && (status.st_mode & (S_IRGRP | S_IROTH)) == 0 &&
           !(fd >= 0 && has_acl(fd, ACCESS_ACL));
}

// Whether a file that the install would make would be one that only root
// reads: its mode less the umask, no default ACL where it would be made.
bool new_file_stays_private(const Target& target) {
    const mode_t mask = umask(0);
    umask(mask);
    if ((NEW_FILE_MODE & ~mask & (S_IRGRP | S_IROTH)) != 0)
        return false;
    if (target.directory >= 0)
        return !has_acl(target.directory, DEFAULT_ACL);
    const Existing existing = missing_directories(target, true);
    return !(existing.directory.valid() && has_acl(existing.directory.get(), DEFAULT_ACL));
}

// Whether the copy open as reading holds the update's bytes already. Reading
// the copy costs far less than rewriting it, and a run over an unchanged
// tree then changes nothing. In a dry run, a copy that an earlier file
// would have rewritten would hold that file's update.
bool holds_the_update(InstallJob& job, int reading) {
    const bool decode = is_ejd_name(job.target.path());
    if (job.assumed)
        return job.assumed_update != nullptr &&
               same_output(*job.update, decode, *job.assumed_update, job.assumed->decode);
    return reading >= 0 && job.target.status.st_size == job.update->length() &&
           same_contents(*job.update, reading, decode);
}

// The directories that a new file needs, and the file-size limit: what
// would stop the copy halfway counts before anything is written.
Failure make_room(InstallJob& job, const InstallSettings& settings, Directories& directories,
                  DryRun* dry) {
    Target& target = job.target;
    // A file that an earlier file of a dry run would have made has its directories.
    if (!target.existed && !job.assumed) {
        const bool all_levels = rules_of(settings.profile).all_levels;
        const int error = dry != nullptr ? dry->make_directories(job, all_levels)
                                         : make_target_directories(directories, target, all_levels);
        job.result.changed = target.made_parent;
        if (error != 0)
            return plan_failure(error);
    }
    if (exceeds_file_size_limit(job.update->length(), settings.file_size_limit))
        return plan_failure(EFBIG);
    return {};
}

} // namespace

rlim_t current_file_size_limit() {
    struct rlimit limit {};
    return getrlimit(RLIMIT_FSIZE, &limit) == 0 ? limit.rlim_cur : RLIM_INFINITY;
}

bool start_job(InstallJob& job, std::string_view relative) {
    job = InstallJob{};
    job.state = JobState::looked_up;
    // Nothing is ever made outside the dictionary root.
    if (leaves_the_root(relative)) {
        end_job(job, plan_failure(0, Problem::leaves_dictionary));
        return false;
    }
    if (form_destination(relative, job.target))
        return true;
    end_job(job, plan_failure(ENAMETOOLONG));
    return false;
}

void look_up(InstallJob& job, UpdateSource& update, Directories& directories) {
    job.update = &update;
    look_up_target(directories, job.target);
    job.result.installed = job.target.existed ? Installed::present : Installed::absent;
}

// A dry run's verdict on a job that the real run would write: what would
// stop the real run before its first write, or the write, kept for the files after it.
void end_dry_run(InstallJob& job, int reading, DryRun& dry) {
    Target& target = job.target;
    if (const int error = target.existed ? write_error(target, reading) : 0)
        return end_job(job, plan_failure(error));
    dry.record_writing(job);
    if (const Failure no_space = dry.take_space(job); no_space.failed())
        return end_job(job, no_space);
    job.result.changed = true;
    dry.record_write(job);
    end_job(job, target.existed || job.assumed ? Outcome::updated : Outcome::added);
}

void plan_job(InstallJob& job, const InstallSettings& settings, Directories& directories,
              DryRun* dry) {
    const ProfileRules rules = rules_of(settings.profile);
    Target& target = job.target;
    // A file that an earlier file of a dry run would have made stands there by then.
    if (job.assumed)
        job.result.installed = Installed::present;
    UniqueFd reading = target.existed ? open_for_gate(target, rules.gate_reads_only) : UniqueFd();
    const auto end = [&job, &reading](auto result) {
        reading.reset();
        end_job(job, result);
    };
    const bool keep_private = rules.keep_private && is_private(*job.update);
    if (keep_private && (target.existed ? S_ISREG(target.status.st_mode) &&
                                              !only_root_reads(target.status, reading.get())
                                        : !new_file_stays_private(target)))
        return end(KEPT_PRIVATE);
    // Nothing of the update is trusted before it is known to be what its
    // manifest lists: not even the version that the gate reads.
    if (const Failure unverified = job.update->verify(); unverified.failed())
        return end(unverified);
    // A new file's mode is known once it is made: the version of a private
    // update is read only when the file it would go to stays private.
    const bool gate_later = keep_private && !target.existed;
    if (!gate_later && gate_says_current(job, reading.get()) && !settings.force)
        return end(Outcome::current);
    if (const Failure refused = refusal(job); refused.failed())
        return end(refused);
    if (rules.compare_contents && holds_the_update(job, reading.get())) {
        job.result.same_contents = true;
        return end(Outcome::current);
    }
    // Stopping signals wait from the first change that a run makes (a
    // directory, a new file) until its lines are out.
    if (dry == nullptr)
        hold_signals();
    if (const Failure no_room = make_room(job, settings, directories, dry); no_room.failed())
        return end(no_room);
    if (dry != nullptr) {
        if (gate_later)
            (void)gate_says_current(job, -1);
        return end_dry_run(job, reading.get(), *dry);
    }
    reading.reset();
    if (const Failure opened = open_target(target); opened.failed())
        return end_job(job, opened);
    job.decode = is_ejd_name(target.path());
    job.state = JobState::writing;
    // As the file was made (its mode after the umask and any default ACL),
    // or as it was found when another process made it meanwhile.
    if (keep_private && !only_root_reads(target.status, target.file.get()))
        return end_job(job, KEPT_PRIVATE);
    if (gate_later)
        (void)gate_says_current(job, -1);
    // The file opened may still turn out to be the update itself.
    if (same_file(target.status, job.update->status()))
        end_job(job, plan_failure(0, Problem::same_file));
}
