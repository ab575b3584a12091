// The writing part of an install, the same for one file and for a batch.
// The installed copy is rewritten in place, keeping its inode, mode, owner
// and links, in three steps, each made durable before the next begins:
//
//   mark         the first sector gets the mark, which the version gate reads
//                as a header without a version;
//   body         every other byte: the first block past its first sector,
//                the blocks behind it, the cut to the update's length;
//   first sector the new header, by one write of one sector: the commit.
//
// Storage writes a sector whole or not at all, so whatever a kill or a power
// cut leaves, the copy is the old file, the new file, or a file that shows
// the mark and is therefore installed whole by the next run.
#include "disk.h"

#include "io.h"
#include "process.h"
#include "space.h"

#include <algorithm>
#include <sys/statfs.h>
#include <vector>

namespace {

// Records what failed a job; the job stops taking part in the steps.
void fail(Job& job, Step step, int error, Problem problem = Problem::none) {
    job.result.failure = {step, error, problem};
}

int file_of(const Job& job) {
    return job.target.writing()->file.get();
}

const struct stat& status_of_file(const Job& job) {
    return job.target.writing()->status;
}

bool created(const Job& job) {
    return job.target.writing()->created;
}

void write_the_mark(Job& job) {
    // A file that this run made holds nothing that a lack of space could
    // destroy (it is removed when its install fails), but one whose
    // writeback starts midway is allocated in one piece this way.
    if (!created(job) || job.update->length() > WRITEBACK_SPAN) {
        if (const int error =
                reserve_space(file_of(job), status_of_file(job).st_size, job.update->length()))
            return fail(job, Step::mark, error);
    }
    job.result.changed = true;
    if (const int error = write_all_at(file_of(job), MARK, 0))
        fail(job, Step::mark, error);
}

void copy_the_body(Job& job, const CopyProgress& copied) {
    // The mark has made the copy at least one sector long.
    const off_t length = std::max<off_t>(status_of_file(job).st_size, SECTOR_SIZE);
    const Failure copy = copy_body(*job.update, {file_of(job), length, job.decoding, job.in_place},
                                   job.first, copied);
    if (copy.failed())
        job.result.failure = copy;
    else if (!job.update->unchanged())
        fail(job, Step::body, 0, Problem::update_changed);
}

void write_the_first_sector(Job& job) {
    job.committing = true;
    if (const int error = write_all_at(file_of(job), {job.first.bytes.data(), job.first.size}, 0))
        fail(job, Step::first_sector, error);
}

// Calls visit once for each file system that active jobs write to, with
// those jobs in their order.
template <typename Visit>
void for_each_file_system(std::span<Job> jobs, Visit visit) {
    std::vector<Job*> there;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (!jobs[i].active())
            continue;
        const dev_t device = status_of_file(jobs[i]).st_dev;
        const auto on_this_device = [device](const Job& job) {
            return job.active() && status_of_file(job).st_dev == device;
        };
        const std::span<Job> before = jobs.first(i);
        if (std::any_of(before.begin(), before.end(), on_this_device))
            continue;
        there.clear();
        for (Job& job : jobs.subspan(i))
            if (on_this_device(job))
                there.push_back(&job);
        visit(std::span<Job* const>(there));
    }
}

// Fails, before anything is written, every job that would not fit: a write
// that ran out of space midway would leave a copy with the mark, which no
// dictionary user can read until the next run. The jobs on one file system
// are summed in order.
void check_space(std::span<Job> jobs) {
    for_each_file_system(jobs, [](std::span<Job* const> jobs_there) {
        struct statfs fs {};
        if (file_system_of(file_of(*jobs_there.front()), fs) != 0)
            return;
        off_t left = free_space(fs);
        for (Job* job : jobs_there) {
            const off_t needed =
                space_needed(job->update->length(), status_of_file(*job).st_blocks, fs);
            if (needed > left)
                fail(*job, Step::space, ENOSPC);
            else
                left -= needed;
        }
    });
}

// Which step a flush follows: after the commit, new directory entries are
// flushed too.
enum class After { step, commit };

// One fdatasync a file, and after the commit the new directory entries.
void flush_each_file(std::span<Job> jobs, After after) {
    for (Job& job : jobs) {
        if (!job.active())
            continue;
        int error = flush_data(file_of(job));
        if (error == 0 && after == After::commit)
            error = flush_new_entries(job.target);
        if (error != 0)
            fail(job, Step::flush, error);
    }
}

// One syncfs a file system, which also takes every directory entry made;
// a failed flush fails every job on that file system.
void flush_each_file_system(std::span<Job> jobs) {
    for_each_file_system(jobs, [](std::span<Job* const> jobs_there) {
        if (const int error = flush_file_system(file_of(*jobs_there.front())))
            for (Job* job : jobs_there)
                fail(*job, Step::flush, error);
    });
}

void flush(std::span<Job> jobs, FlushSchedule schedule, After after) {
    if (schedule == FlushSchedule::each_file)
        flush_each_file(jobs, after);
    else
        flush_each_file_system(jobs);
}

bool any_planned(std::span<Job> jobs) {
    return std::any_of(jobs.begin(), jobs.end(),
                       [](const Job& job) { return job.state == JobState::planned; });
}

} // namespace

void DiskWorld::write(std::span<Job> jobs, FlushSchedule schedule, const StepProgress& progress) {
    if (!any_planned(jobs))
        return;
    check_space(jobs);
    hold_signals();
    for (Job& job : jobs)
        if (job.active())
            write_the_mark(job);
    flush(jobs, schedule, After::step);
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (!jobs[i].active())
            continue;
        CopyProgress copied;
        if (progress.bytes)
            copied = [&progress, i](off_t bytes) { progress.bytes(i, bytes); };
        copy_the_body(jobs[i], copied);
        if (progress.body_copied)
            progress.body_copied(i);
    }
    flush(jobs, schedule, After::step);
}

void DiskWorld::commit(std::span<Job> jobs, FlushSchedule schedule) {
    for (Job& job : jobs)
        if (job.active())
            write_the_first_sector(job);
    flush(jobs, schedule, After::commit);
    for (Job& job : jobs) {
        if (job.state != JobState::planned)
            continue;
        if (job.result.failure.failed())
            end_job(job, Outcome::failed);
        else
            end_job(job, created(job) ? Outcome::added : Outcome::updated);
    }
}
