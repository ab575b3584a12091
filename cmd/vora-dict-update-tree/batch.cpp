#include "batch.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>

namespace {

// A batch ends at this many bytes of updates, so that the flush at its end
// never waits for long, and at this many files.
constexpr off_t BATCH_BYTES = off_t{64} << 20;
constexpr std::size_t BATCH_FILES = 1024;

// Descriptors that a file holds while its batch is under way (the update,
// the installed copy and, at most, its directory), and the one more that it
// takes while it is being opened (the copy looked up, and read by the gate).
constexpr std::size_t HELD_PER_FILE = 3;
constexpr std::size_t OPENING_EXTRA = 1;
// Kept free beside those, for the directories walked on the way to a file.
constexpr std::size_t SPARE_DESCRIPTORS = 2;

// The descriptors open now, below limit: listed by /proc, or where it is
// not mounted, asked one by one.
std::size_t open_descriptors(rlim_t limit) {
    std::size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        for (int fd = 0; static_cast<rlim_t>(fd) < std::min<rlim_t>(limit, 65536); ++fd)
            count += fcntl(fd, F_GETFD) != -1 ? 1 : 0;
        return count;
    }
    while (const dirent* entry = readdir(dir))
        count += entry->d_name[0] != '.' ? 1 : 0;
    closedir(dir);
    return count - 1; // the listing's own
}

bool same_destination(const InstallJob& a, const InstallJob& b) {
    return a.state == JobState::writing && a.device() == b.device() &&
           a.target.status.st_ino == b.target.status.st_ino;
}

// A job that ends with what the walk found, without opening anything.
void end_unopened(const TreeFile& file, InstallJob& job) {
    if (file.entry == TreeEntry::link)
        return end_job(job, Failure{Step::open_update, file.error, Problem::symbolic_link});
    end_job(job, Failure{Step::open_update, file.error, Problem::none});
}

// Opens the install of file into job, reading update, unless its installed
// file is another pending job's of the batch (before): false then, with
// nothing open.
bool open_in_batch(const TreeFile& file, int top, const InstallSettings& settings,
                   std::span<const InstallJob> before, InstallJob& job, FileSource& update,
                   Directories& directories, std::vector<DryWrite>& dry_writes) {
    if (file.entry == TreeEntry::link || file.entry == TreeEntry::unreadable) {
        job = InstallJob{};
        end_unopened(file, job);
        return true;
    }
    if (!start_job(job, file.path))
        return true;
    if (const Failure opened = update.open(top, file.path.c_str(), Links::none, &file.status);
        opened.failed()) {
        end_job(job, opened);
        return true;
    }
    look_up(job, update, directories);
    if (job.identified() && std::any_of(before.begin(), before.end(), [&](const InstallJob& b) {
            return same_destination(b, job);
        })) {
        end_job(job, Outcome::failed);
        return false;
    }
    // A dry run changes nothing, so the identity looked up stays the job's.
    const auto written = std::find_if(dry_writes.begin(), dry_writes.end(), [&](const DryWrite& w) {
        return job.identified() && w.device == job.device() && w.inode == job.target.status.st_ino;
    });
    if (written != dry_writes.end())
        job.assumed_version = written->version;
    plan_job(job, settings, directories);
    if (settings.dry_run && job.identified() && job.result.changed) {
        if (written != dry_writes.end())
            dry_writes.erase(written);
        dry_writes.push_back(
            {job.device(), job.target.status.st_ino, job.result.texts.update_text});
    }
    return true;
}

} // namespace

std::size_t batch_capacity(bool lock) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1;
    if (limit.rlim_cur < limit.rlim_max) {
        const rlimit raised{limit.rlim_max, limit.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    // The tree's top directory is yet to be opened, and the lock perhaps.
    const std::size_t needed =
        open_descriptors(limit.rlim_cur) + 1 + (lock ? 1 : 0) + OPENING_EXTRA + SPARE_DESCRIPTORS;
    const std::size_t room = limit.rlim_cur > needed ? limit.rlim_cur - needed : 0;
    return std::min(room / HELD_PER_FILE, BATCH_FILES);
}

std::span<const InstallJob> install_batch(const std::vector<TreeFile>& files, std::size_t first,
                                          int top, const InstallSettings& settings,
                                          Progress& progress, BatchRoom& room,
                                          std::vector<DryWrite>& dry_writes) {
    Directories directories;
    std::size_t count = 0;
    for (off_t bytes = 0;
         count < room.jobs.size() && first + count < files.size() && bytes < BATCH_BYTES; ++count) {
        const TreeFile& file = files[first + count];
        InstallJob& job = room.jobs[count];
        if (!open_in_batch(file, top, settings, std::span(room.jobs).first(count), job,
                           room.updates[count], directories, dry_writes))
            break;
        if (job.state != JobState::writing)
            progress.file_done(bytes_to_install(file));
        bytes += bytes_to_install(file);
    }
    const std::span<InstallJob> batch = std::span(room.jobs).first(count);
    run_steps(batch, FlushSchedule::each_file_system,
              {[&progress](off_t copied) { progress.bytes_copied(copied); },
               [&progress] { progress.file_done(0); }});
    return batch;
}
