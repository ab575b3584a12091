// The writing part of an install, the same for one file and for a batch.
// The installed copy is rewritten in place, keeping its inode, mode, owner
// and links, in three steps, each made durable before the next begins:
//
//   mark         the first sector gets the mark, which the version gate reads
//                as a header without a version;
//   body         every other byte: the first block past its first sector,
//                the blocks behind it, the cut to the update's length;
//   first sector the new header, by one write of one sector.
//
// Storage writes a sector whole or not at all, so whatever a kill or a power
// cut leaves, the copy is the old file, the new file, or a file that shows
// the mark and is therefore installed whole by the next run.
#include "install.h"

#include "io.h"
#include "process.h"
#include "space.h"

#include <algorithm>
#include <sys/statfs.h>
#include <vector>

namespace {

enum class InstallStep { mark, body, first_sector };
constexpr InstallStep STEPS[] = {InstallStep::mark, InstallStep::body, InstallStep::first_sector};

// Records what failed a job; the job stops taking part in the steps.
void fail(InstallJob& job, Step step, int error, Problem problem = Problem::none) {
    job.result.failure = {step, error, problem};
}

void write_the_mark(InstallJob& job) {
    const Target& target = job.target;
    // A file that this run made holds nothing that a lack of space could
    // destroy (it is removed when its install fails), but one whose
    // writeback starts midway is allocated in one piece this way.
    if (!target.created || job.update->length() > WRITEBACK_SPAN) {
        if (const int error =
                reserve_space(target.file.get(), target.status.st_size, job.update->length()))
            return fail(job, Step::mark, error);
    }
    job.result.changed = true;
    if (const int error = write_all_at(target.file.get(), MARK, 0))
        fail(job, Step::mark, error);
}

void copy_the_body(InstallJob& job, const CopyProgress& copied) {
    // The mark has made the copy at least one sector long.
    const off_t length = std::max<off_t>(job.target.status.st_size, SECTOR_SIZE);
    const Failure copy = copy_body(*job.update, job.target.file.get(), length, job.decode,
                                   job.first_sector, job.first_sector_size, copied);
    if (copy.failed())
        job.result.failure = copy;
    else if (!job.update->unchanged())
        fail(job, Step::body, 0, Problem::update_changed);
}

void write_the_first_sector(InstallJob& job) {
    job.committing = true;
    if (const int error = write_all_at(job.target.file.get(),
                                       {job.first_sector.data(), job.first_sector_size}, 0))
        fail(job, Step::first_sector, error);
}

void run_step(InstallStep step, InstallJob& job, const CopyProgress& copied) {
    switch (step) {
    case InstallStep::mark:
        return write_the_mark(job);
    case InstallStep::body:
        return copy_the_body(job, copied);
    case InstallStep::first_sector:
        return write_the_first_sector(job);
    }
}

// Calls visit once for each file system that active jobs write to, with
// those jobs in their order.
template <typename Visit>
void for_each_file_system(std::span<InstallJob> jobs, Visit visit) {
    std::vector<InstallJob*> there;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const dev_t device = jobs[i].device();
        const auto on_this_device = [device](const InstallJob& job) {
            return job.active() && job.device() == device;
        };
        const std::span<InstallJob> before = jobs.first(i);
        if (!on_this_device(jobs[i]) || std::any_of(before.begin(), before.end(), on_this_device))
            continue;
        there.clear();
        for (InstallJob& job : jobs.subspan(i))
            if (on_this_device(job))
                there.push_back(&job);
        visit(std::span<InstallJob* const>(there));
    }
}

// Fails, before anything is written, every job that would not fit: a write
// that ran out of space midway would leave a copy with the mark, which no
// dictionary user can read until the next run. The jobs on one file system
// are summed in order.
void check_space(std::span<InstallJob> jobs) {
    for_each_file_system(jobs, [](std::span<InstallJob* const> jobs_there) {
        struct statfs fs {};
        if (file_system_of(jobs_there.front()->target.file.get(), fs) != 0)
            return;
        off_t room = free_space(fs);
        for (InstallJob* job : jobs_there) {
            const off_t needed =
                space_needed(job->update->length(), job->target.status.st_blocks, fs);
            if (needed > room)
                fail(*job, Step::space, ENOSPC);
            else
                room -= needed;
        }
    });
}

// One fdatasync a file, and after the last step the new directory entries.
void flush_each_file(std::span<InstallJob> jobs, InstallStep step) {
    for (InstallJob& job : jobs) {
        if (!job.active())
            continue;
        int error = flush_data(job.target.file.get());
        if (error == 0 && step == InstallStep::first_sector)
            error = flush_new_entries(job.target);
        if (error != 0)
            fail(job, Step::flush, error);
    }
}

// One syncfs a file system, which also takes every directory entry made;
// a failed flush fails every job on that file system.
void flush_each_file_system(std::span<InstallJob> jobs) {
    for_each_file_system(jobs, [](std::span<InstallJob* const> jobs_there) {
        if (const int error = flush_file_system(jobs_there.front()->target.file.get()))
            for (InstallJob* job : jobs_there)
                fail(*job, Step::flush, error);
    });
}

} // namespace

void run_steps(std::span<InstallJob> jobs, FlushSchedule schedule, const StepProgress& progress) {
    if (std::none_of(jobs.begin(), jobs.end(),
                     [](const InstallJob& job) { return job.state == JobState::writing; }))
        return;
    check_space(jobs);
    hold_signals();
    for (const InstallStep step : STEPS) {
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            if (!jobs[i].active())
                continue;
            CopyProgress copied;
            if (progress.bytes)
                copied = [&progress, i](off_t bytes) { progress.bytes(i, bytes); };
            run_step(step, jobs[i], copied);
            if (step == InstallStep::body && progress.body_copied)
                progress.body_copied(i);
        }
        if (schedule == FlushSchedule::each_file)
            flush_each_file(jobs, step);
        else
            flush_each_file_system(jobs);
    }
    for (InstallJob& job : jobs) {
        if (job.state != JobState::writing)
            continue;
        if (job.result.failure.failed())
            end_job(job, Outcome::failed);
        else
            end_job(job, job.target.created ? Outcome::added : Outcome::updated);
    }
}
