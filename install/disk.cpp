#include "disk.h"

#include "gate.h"
#include "io.h"
#include "process.h"

namespace {

Failure plan_failure(int error, Problem problem = Problem::none) {
    return {Step::plan, error, problem};
}

} // namespace

rlim_t current_file_size_limit() {
    struct rlimit limit {};
    return getrlimit(RLIMIT_FSIZE, &limit) == 0 ? limit.rlim_cur : RLIM_INFINITY;
}

Failure within_file_size_limit(off_t length, rlim_t limit) {
    if (limit != RLIM_INFINITY && static_cast<rlim_t>(length) > limit)
        return plan_failure(EFBIG);
    return {};
}

bool new_file_stays_private(const Target& target, Levels levels) {
    const mode_t mask = umask(0);
    umask(mask);
    if ((NEW_FILE_MODE & ~mask & (S_IRGRP | S_IROTH)) != 0)
        return false;
    if (const DirectoryOpen* directory = target.open_directory())
        return !has_acl(directory->fd, DEFAULT_ACL);
    Resolved existing = missing_directories(target, levels);
    return !(existing.ok() && has_acl(existing.reached().fd.get(), DEFAULT_ACL));
}

void DiskWorld::look_up(Job& job, Directories& directories) {
    look_up_target(directories, job.target);
    job.result.installed = job.target.found() != nullptr ? Installed::present : Installed::absent;
    job.gate = open_for_gate(job.target, rules_of(settings_.profile).gate);
}

Place DiskWorld::place(Job& job) {
    // A file on disk, found or made under its name, by its identity: two
    // paths to it find the same. A new file that no name shows yet by the
    // place where it will be.
    if (const OpenForWriting* writing = job.target.writing();
        writing != nullptr && writing->origin != Origin::unnamed)
        return {writing->status.st_dev, writing->status.st_ino, ""};
    if (const CopyFound* found = job.target.found())
        return {found->status.st_dev, found->status.st_ino, ""};
    if (std::optional<Place> place = place_in_directory(job.target))
        return std::move(*place);
    return place_of(job.target).place;
}

bool DiskWorld::copy_present(const Job& job) const {
    return job.target.found() != nullptr;
}

bool DiskWorld::copy_only_root_reads(Job& job) {
    const CopyFound* found = job.target.found();
    return found == nullptr || !S_ISREG(found->status.st_mode) ||
           only_root_reads(found->status, job.gate.get());
}

bool DiskWorld::new_file_private(Job& job) {
    return new_file_stays_private(job.target, rules_of(settings_.profile).levels);
}

VersionValue DiskWorld::installed_version(Job& job) {
    VersionText& text = job.result.texts.installed_text;
    text[0] = '\0';
    return job.gate.valid() ? ::installed_version(job.gate.get(), text) : 0;
}

bool DiskWorld::holds_the_update(Job& job) {
    const CopyFound* found = job.target.found();
    if (found == nullptr || !job.gate.valid() || found->status.st_size != job.update->length())
        return false;
    const Comparison compared =
        job.update->compare_with(job.gate.get(), decoding_of(job.target.destination.path()));
    job.in_place = compared.in_place;
    return compared.same;
}

void DiskWorld::act(Job& job, const Write& write, Directories& directories) {
    Target& target = job.target;
    if (target.found() == nullptr) {
        const int error =
            make_target_directories(directories, target, rules_of(settings_.profile).levels);
        job.result.changed = target.made_in.valid();
        if (error != 0)
            return end_job(job, plan_failure(error));
    }
    if (const Failure too_long =
            within_file_size_limit(job.update->length(), settings_.file_size_limit);
        too_long.failed())
        return end_job(job, too_long);
    job.gate.reset();
    if (const Failure opened = open_target(target); opened.failed())
        return end_job(job, opened);
    job.decoding = decoding_of(target.destination.path());
    job.state = JobState::planned;
    const OpenForWriting& file = *target.writing();
    // A new file that shows under its name before its steps is a change:
    // stopping signals wait from then on until the run's lines are out.
    if (file.origin == Origin::created)
        hold_signals();
    // As the file was made (its mode after the umask and any default ACL),
    // or as it was found when another process made it meanwhile.
    struct stat made {};
    if (write.keep_private &&
        (status_of(file.file.get(), made) != 0 || !only_root_reads(made, file.file.get())))
        return end_job(job, KEPT_PRIVATE);
    if (write.version_later)
        (void)update_version(*job.update, decoding_of(target.destination.relative_path()),
                             job.result.texts.update_text);
    // The file opened may still turn out to be the update itself; a file
    // without a name is none.
    if (file.origin != Origin::unnamed && same_file(file.status, job.update->status()))
        end_job(job, plan_failure(0, Problem::same_file));
}
