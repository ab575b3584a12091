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
// the mark and is therefore installed whole by the next run. A new file
// holds no old bytes to protect: it is written whole while no name shows
// it, flushed, and its commit links it into place, after which its
// directory is flushed. Where the file system cannot make a file without a
// name, a new file takes the three steps too.
#include "disk.h"

#include "io.h"
#include "process.h"
#include "space.h"

#include <algorithm>
#include <sys/statfs.h>
#include <vector>

namespace {

// How many bytes a step writes between two looks at the lock and the
// signals waiting: a few milliseconds of writing.
constexpr off_t CHECK_SPAN = off_t{1} << 20;

// Records what failed a job; the job stops taking part in the steps.
void fail(Job& job, Step step, int error, Problem problem = Problem::none) {
    job.result.failure = {step, error, problem};
}

OpenForWriting& file_of(Job& job) {
    return *job.target.writing();
}

const OpenForWriting& file_of(const Job& job) {
    return *job.target.writing();
}

bool unnamed(const Job& job) {
    return file_of(job).origin == Origin::unnamed;
}

// Reserves the blocks that the update needs beyond the file's own.
void reserve(Job& job, Step step) {
    const OpenForWriting& file = file_of(job);
    // A new file holds nothing that a lack of space could destroy (it is
    // removed when its install fails), but one whose writeback starts midway
    // is allocated in one piece this way.
    if (file.is_new() && job.update->length() <= WRITEBACK_SPAN)
        return;
    if (const int error = reserve_space(file.file.get(), file.status.st_size, job.update->length()))
        fail(job, step, error);
}

void write_the_mark(Job& job) {
    reserve(job, Step::mark);
    if (job.result.failure.failed())
        return;
    job.result.changed = true;
    if (const int error = write_all_at(file_of(job).file.get(), MARK, 0))
        fail(job, Step::mark, error);
}

void write_the_first_sector(Job& job) {
    job.committing = true;
    if (const int error =
            write_all_at(file_of(job).file.get(), {job.first.bytes.data(), job.first.size}, 0))
        fail(job, Step::first_sector, error);
}

// The body, and for an unnamed new file all of it: no name shows it yet.
void copy_the_body(Job& job, const CopyProgress& copied) {
    if (unnamed(job))
        reserve(job, Step::body);
    if (job.result.failure.failed())
        return;
    // The mark has made a copy at least one sector long.
    const OpenForWriting& file = file_of(job);
    const off_t length =
        file.is_new() ? file.status.st_size : std::max<off_t>(file.status.st_size, SECTOR_SIZE);
    const Failure copy = copy_body(
        *job.update, {file.file.get(), length, job.decoding, job.in_place}, job.first, copied);
    if (copy.failed())
        job.result.failure = copy;
    else if (!job.update->unchanged())
        fail(job, Step::body, 0, Problem::update_changed);
    else if (unnamed(job)) {
        job.result.changed = true;
        write_the_first_sector(job);
    }
}

// Commits a job: the new header, or the new file's name.
void commit_job(Job& job) {
    if (!unnamed(job))
        return write_the_first_sector(job);
    if (const int error = link_into_place(job.target))
        fail(job, Step::first_sector, error);
    else
        job.linked = true;
}

// Calls visit once for each file system that active jobs write to, with
// those jobs in their order.
template <typename Visit>
void for_each_file_system(std::span<Job> jobs, Visit visit) {
    std::vector<Job*> there;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (!jobs[i].active())
            continue;
        const dev_t device = file_of(jobs[i]).status.st_dev;
        const auto on_this_device = [device](const Job& job) {
            return job.active() && file_of(job).status.st_dev == device;
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
        if (file_system_of(file_of(*jobs_there.front()).file.get(), fs) != 0)
            return;
        off_t left = free_space(fs);
        for (Job* job : jobs_there) {
            const off_t needed =
                space_needed(job->update->length(), file_of(*job).status.st_blocks, fs);
            if (needed > left)
                fail(*job, Step::space, ENOSPC);
            else
                left -= needed;
        }
    });
}

// Which step a flush follows: after the commit, new directory entries are
// flushed too, and an unnamed file's data is on disk already.
enum class After { mark, body, commit };

bool wrote(const Job& job, After after) {
    return job.active() && !(after == After::mark && unnamed(job));
}

// One fdatasync a file, and after the commit the new directory entries.
void flush_each_file(std::span<Job> jobs, After after) {
    for (Job& job : jobs) {
        if (!wrote(job, after))
            continue;
        int error = job.linked ? 0 : flush_data(file_of(job).file.get());
        if (error == 0 && after == After::commit)
            error = flush_new_entries(job.target);
        if (error != 0)
            fail(job, Step::flush, error);
    }
}

// One syncfs a file system, which also takes every directory entry made;
// a failed flush fails every job on that file system. A step that wrote
// nothing needs none.
void flush_each_file_system(std::span<Job> jobs, After after) {
    if (std::none_of(jobs.begin(), jobs.end(),
                     [after](const Job& job) { return wrote(job, after); }))
        return;
    for_each_file_system(jobs, [](std::span<Job* const> jobs_there) {
        if (const int error = flush_file_system(file_of(*jobs_there.front()).file.get()))
            for (Job* job : jobs_there)
                fail(*job, Step::flush, error);
    });
}

void flush(std::span<Job> jobs, FlushSchedule schedule, After after) {
    if (schedule == FlushSchedule::each_file)
        flush_each_file(jobs, after);
    else
        flush_each_file_system(jobs, after);
}

bool any_planned(std::span<Job> jobs) {
    return std::any_of(jobs.begin(), jobs.end(),
                       [](const Job& job) { return job.state == JobState::planned; });
}

// A file that this run wrote to while another run may have taken the lock
// and written it too: a write of this run's may have landed over the other
// run's file, so it gets the mark back, for the next run to install whole.
// A new file under its name keeps it (the other run may have taken it over).
void leave_to_the_next_run(Job& job) {
    OpenForWriting& file = file_of(job);
    if (file.origin == Origin::unnamed || !job.result.changed)
        return;
    if (write_all_at(file.file.get(), MARK, 0) == 0)
        (void)flush_data(file.file.get());
    file.origin = Origin::found;
}

// The copies that this step committed while another run may have taken
// the lock: each gets the mark back, for the next run to install whole.
void mark_again(std::span<Job> jobs) {
    for (Job& job : jobs) {
        if (!job.active() || !job.committing || unnamed(job) || job.linked)
            continue;
        fail(job, Step::first_sector, 0, Problem::lock_lost);
        leave_to_the_next_run(job);
        job.committing = false;
    }
}

} // namespace

bool DiskWorld::may_go_on(std::span<Job> jobs) {
    const Problem why = !still_locked_() ? Problem::lock_lost
                        : stop_pending() ? Problem::stopped
                                         : Problem::none;
    unchecked_ = 0;
    stopped_ = why != Problem::none;
    if (why == Problem::none)
        return true;
    for (Job& job : jobs) {
        if (!job.active())
            continue;
        fail(job, Step::body, 0, why);
        if (why == Problem::lock_lost)
            leave_to_the_next_run(job);
    }
    return false;
}

bool DiskWorld::may_go_on_after(std::span<Job> jobs, off_t written) {
    unchecked_ += written;
    if (unchecked_ < CHECK_SPAN)
        return !stopped_;
    return may_go_on(jobs);
}

void DiskWorld::write(std::span<Job> jobs, FlushSchedule schedule, const StepProgress& progress) {
    if (!any_planned(jobs))
        return;
    check_space(jobs);
    hold_signals();
    if (!may_go_on(jobs))
        return;
    for (Job& job : jobs)
        if (wrote(job, After::mark))
            write_the_mark(job);
    flush(jobs, schedule, After::mark);
    if (!may_go_on(jobs))
        return;
    for (std::size_t i = 0; i < jobs.size() && !stopped_; ++i) {
        if (!jobs[i].active())
            continue;
        const CopyProgress copied = [this, &progress, &jobs, i](off_t bytes) {
            if (progress.bytes)
                progress.bytes(i, bytes);
            return may_go_on_after(jobs.subspan(i), bytes) ? Problem::none
                                                           : jobs[i].result.failure.problem;
        };
        copy_the_body(jobs[i], copied);
        if (progress.body_copied)
            progress.body_copied(i);
    }
    flush(jobs, schedule, After::body);
}

void DiskWorld::commit(std::span<Job> jobs, FlushSchedule schedule) {
    if (any_planned(jobs) && may_go_on(jobs)) {
        for (Job& job : jobs)
            if (job.active())
                commit_job(job);
        if (!still_locked_())
            mark_again(jobs);
        flush(jobs, schedule, After::commit);
    }
    for (Job& job : jobs) {
        if (job.state != JobState::planned)
            continue;
        if (job.result.failure.failed())
            end_job(job, Outcome::failed);
        else
            end_job(job,
                    file_of(job).origin == Origin::created ? Outcome::added : Outcome::updated);
    }
}
