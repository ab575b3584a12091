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
#include "install_file.h"

#include "file_io.h"
#include "process_guard.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr Problem UPDATE_CHANGED{"the update changed during the install", "update_changed"};

enum class Step { mark, body, first_sector };
constexpr Step STEPS[] = {Step::mark, Step::body, Step::first_sector};

// Reserves the blocks that the file needs to grow from its length to
// length, without changing its size or contents. What lies within the file
// is rewritten in place, and check_space has seen that it fits; a file
// system may ask for free space for a whole range even where it is
// allocated already (xfs has been seen to). Only a lack of space or another
// real failure counts: a file system that cannot reserve goes on without it.
bool reserve_space(int fd, off_t from, off_t length) {
    if (length <= from)
        return true;
    int rc = 0;
    do
        rc = fallocate(fd, FALLOC_FL_KEEP_SIZE, from, length - from);
    while (rc != 0 && errno == EINTR);
    return rc == 0 || errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL;
}

bool same_times(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// True when the update, open as fd, is still the file that opened: a change
// of its length or times means that what was read may mix two versions.
bool update_unchanged(int fd, const struct stat& opened) {
    struct stat now {};
    return fstat(fd, &now) == 0 && same_file(now, opened) && now.st_size == opened.st_size &&
           same_times(now.st_mtim, opened.st_mtim) && same_times(now.st_ctim, opened.st_ctim);
}

void copy_body_of(InstallJob& job, const CopyProgress& copied) {
    // The mark has made the copy at least one sector long.
    const off_t length = std::max<off_t>(job.installed_status.st_size, SECTOR_SIZE);
    const CopyResult copy =
        copy_body(job.update, job.installed, length, job.decode, job.update_status.st_size,
                  job.first_sector, job.first_sector_size, copied);
    if (copy.failure != CopyFailure::none)
        return fail_job(job, errno);
    if (!update_unchanged(job.update, job.update_status)) {
        job.result.outcome = Outcome::update_changed;
        job.result.problem = &UPDATE_CHANGED;
    }
}

void run_step(Step step, InstallJob& job, const CopyProgress& copied) {
    switch (step) {
    case Step::mark:
        // A file that this run made holds nothing that a lack of space could
        // destroy (it is removed when its install fails), but one whose
        // writeback starts midway is allocated in one piece this way.
        if ((!job.created || job.update_status.st_size > WRITEBACK_SPAN) &&
            !reserve_space(job.installed, job.installed_status.st_size, job.update_status.st_size))
            return fail_job(job, errno);
        job.result.changed = true;
        if (!write_mark(job.installed))
            fail_job(job, errno);
        return;
    case Step::body:
        return copy_body_of(job, copied);
    case Step::first_sector:
        job.committing = true;
        if (!write_at_start(job.installed, {job.first_sector.data(), job.first_sector_size}))
            fail_job(job, errno);
        return;
    }
}

// File systems that write every change to a new place, so that rewriting
// a file in place needs as much free space as the new contents.
bool copies_on_write(const struct statfs& fs) {
    constexpr decltype(fs.f_type) ZFS_MAGIC = 0x2fc12fc1;
    constexpr decltype(fs.f_type) BCACHEFS_MAGIC = 0xca451a4e;
    return fs.f_type == BTRFS_SUPER_MAGIC || fs.f_type == ZFS_MAGIC || fs.f_type == BCACHEFS_MAGIC;
}

// The free space that writing the job's update takes: the whole length on
// a copy-on-write file system, elsewhere what it needs beyond the blocks
// that the copy already holds.
off_t space_needed(const InstallJob& job, const struct statfs& fs) {
    const off_t unit = fs.f_frsize > 0 ? fs.f_frsize : fs.f_bsize;
    const off_t length = (job.update_status.st_size + unit - 1) / unit * unit;
    if (copies_on_write(fs))
        return length;
    return std::max<off_t>(0, length - job.installed_status.st_blocks * 512);
}

// Calls visit once for each file system that active jobs write to, with
// those jobs in their order.
template <typename Visit>
void for_each_file_system(std::span<InstallJob> jobs, Visit visit) {
    std::vector<InstallJob*> there;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const dev_t device = jobs[i].device;
        const auto on_this_device = [device](const InstallJob& job) {
            return job.active() && job.device == device;
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
        if (fstatfs(jobs_there.front()->installed, &fs) != 0)
            return;
        const auto unit = static_cast<off_t>(fs.f_frsize > 0 ? fs.f_frsize : fs.f_bsize);
        auto free_space = static_cast<off_t>(fs.f_bavail) * unit;
        for (InstallJob* job : jobs_there) {
            const off_t needed = space_needed(*job, fs);
            if (needed > free_space)
                fail_job(*job, ENOSPC);
            else
                free_space -= needed;
        }
    });
}

// Flushes the directory that holds path: the entry made in it reaches the disk.
bool flush_directory(PathBuffer path) {
    *std::strrchr(path.data(), '/') = '\0';
    const int fd = open(path.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool flushed = fsync(fd) == 0;
    const int error = errno;
    close(fd);
    errno = error;
    return flushed;
}

// The directory entries that a job made: the file's, and its directory's
// when the job made that too.
bool flush_new_entries(const InstallJob& job) {
    if (!job.created)
        return true;
    PathBuffer path = job.destination;
    if (!flush_directory(path))
        return false;
    if (!job.made_parent)
        return true;
    *std::strrchr(path.data(), '/') = '\0';
    return flush_directory(path);
}

// One fdatasync a file, and after the last step the new directory entries.
void flush_each_file(std::span<InstallJob> jobs, Step step) {
    for (InstallJob& job : jobs)
        if (job.active() && !(fdatasync(job.installed) == 0 &&
                              (step != Step::first_sector || flush_new_entries(job))))
            fail_job(job, errno);
}

// One syncfs a file system, which also takes every directory entry made;
// a failed flush fails every job on that file system.
void flush_each_file_system(std::span<InstallJob> jobs) {
    for_each_file_system(jobs, [](std::span<InstallJob* const> jobs_there) {
        if (syncfs(jobs_there.front()->installed) == 0)
            return;
        const int error = errno;
        for (InstallJob* job : jobs_there)
            fail_job(*job, error);
    });
}

// Closes a job's files. A failed job's created file is removed; an existing
// copy whose new first sector may have been written gets the mark back, so
// that the next run does not take the failed copy as current.
void finish(InstallJob& job) {
    if (!job.succeeding() && job.committing && !job.created && write_mark(job.installed))
        (void)fdatasync(job.installed);
    close(job.update);
    if (close(job.installed) != 0 && job.succeeding())
        fail_job(job, errno);
    job.update = job.installed = -1;
    if (!job.succeeding() && job.created) {
        unlink(job.destination.data());
        job.result.changed = job.made_parent;
    }
}

} // namespace

void run_install_steps(std::span<InstallJob> jobs, Flush flush, const StepProgress& progress) {
    if (std::none_of(jobs.begin(), jobs.end(), [](const InstallJob& job) { return job.pending(); }))
        return;
    check_space(jobs);
    hold_signals();
    for (const Step step : STEPS) {
        for (InstallJob& job : jobs) {
            if (!job.active())
                continue;
            run_step(step, job, progress.bytes);
            if (step == Step::body && progress.body_copied)
                progress.body_copied();
        }
        if (flush == Flush::each_file)
            flush_each_file(jobs, step);
        else
            flush_each_file_system(jobs);
    }
    for (InstallJob& job : jobs)
        if (job.pending())
            finish(job);
}

void fail_job(InstallJob& job, int error, const Problem* problem) {
    job.result.outcome = Outcome::write_failed;
    job.result.error = error;
    job.result.problem = problem;
}

InstallResult install_file(const char* update_path, const InstallSettings& settings) {
    InstallJob job;
    start_install(update_path, nullptr, settings, job);
    if (job.started())
        open_install(settings, job);
    run_install_steps({&job, 1}, Flush::each_file);
    return job.result;
}
