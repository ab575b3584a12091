#include "batch.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>

namespace {

// A batch ends at this many files.
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

// A job that ends with what the walk found, without opening anything.
void end_unopened(const TreeFile& file, InstallJob& job) {
    const Problem problem = file.entry == TreeEntry::link       ? Problem::symbolic_link
                            : file.entry == TreeEntry::unlisted ? Problem::not_in_manifest
                            : file.entry == TreeEntry::missing  ? Problem::missing
                                                                : Problem::none;
    end_job(job, Failure{Step::open_update, file.error, problem});
}

// In a dry run, what an earlier batch's file would have left in job's
// installed file: its version, and its update, open as assumed_update.
void assume_earlier_write(InstallJob& job, int top, DryRun& dry, FileSource& assumed_update) {
    job.assumed = dry.written_before(job);
    if (job.assumed &&
        !assumed_update.open(top, job.assumed->update_path.c_str(), Links::none).failed())
        job.assumed_update = &assumed_update;
}

// Opens the install of file into the batch's next job, unless its installed
// file is one that an earlier job of the batch writes (before): false then,
// with nothing open.
bool open_in_batch(const TreeFile& file, int top, const InstallSettings& settings, BatchRoom& room,
                   std::size_t slot, Directories& directories, DryRun* dry, Prehasher* prehasher) {
    InstallJob& job = room.jobs[slot];
    if (file.entry != TreeEntry::regular && file.entry != TreeEntry::special) {
        job = InstallJob{};
        end_unopened(file, job);
        return true;
    }
    if (!start_job(job, file.path))
        return true;
    FileSource& opened_file = room.updates[slot];
    if (const Failure opened = opened_file.open(top, file.path.c_str(), Links::none, &file.status);
        opened.failed()) {
        end_job(job, opened);
        return true;
    }
    UpdateSource* update = &opened_file;
    room.verified[slot].reset();
    if (file.digest != nullptr)
        update = &room.verified[slot].emplace(opened_file, *file.digest,
                                              prehasher != nullptr ? prehasher->take(file.path)
                                                                   : std::nullopt);
    look_up(job, *update, directories);
    if (written_in_this_batch(job, std::span(room.jobs).first(slot), dry)) {
        end_job(job, Outcome::failed);
        return false;
    }
    if (dry != nullptr)
        assume_earlier_write(job, top, *dry, room.assumed_updates[slot]);
    plan_job(job, settings, directories, dry);
    room.assumed_updates[slot].close();
    return true;
}

bool same_destination(const InstallJob& a, const InstallJob& b) {
    return a.state == JobState::writing && a.device() == b.device() &&
           a.target.status.st_ino == b.target.status.st_ino;
}

} // namespace

bool written_in_this_batch(InstallJob& job, std::span<const InstallJob> before, DryRun* dry) {
    if (dry != nullptr)
        return dry->written_in_this_batch(job);
    return job.identified() && std::any_of(before.begin(), before.end(), [&](const InstallJob& b) {
               return same_destination(b, job);
           });
}

BatchCapacity batch_capacity(bool lock) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return {1, 0, 0};
    if (limit.rlim_cur < limit.rlim_max) {
        const rlimit raised{limit.rlim_max, limit.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    // The tree's top directory is yet to be opened, and the lock perhaps.
    const std::size_t needed =
        open_descriptors(limit.rlim_cur) + 1 + (lock ? 1 : 0) + OPENING_EXTRA + SPARE_DESCRIPTORS;
    const std::size_t room = limit.rlim_cur > needed ? limit.rlim_cur - needed : 0;
    const std::size_t files = std::min(room / HELD_PER_FILE, BATCH_FILES);
    // Files are hashed ahead only where the limit leaves room for them beside
    // a batch as long as they are: a file hashed ahead holds one descriptor
    // more until its job ends.
    if (room < (MOST_AHEAD + 1) * (HELD_PER_FILE + 1))
        return {files, 0, files};
    return {files, MOST_AHEAD, std::min((room - MOST_AHEAD) / (HELD_PER_FILE + 1), BATCH_FILES)};
}

std::span<const InstallJob> install_batch(const std::vector<TreeFile>& files, std::size_t first,
                                          int top, const InstallSettings& settings,
                                          Progress& progress, BatchRoom& room, DryRun* dry,
                                          Prehasher* prehasher) {
    if (dry != nullptr)
        dry->next_batch();
    Directories directories;
    std::size_t count = 0;
    for (off_t bytes = 0;
         count < room.jobs.size() && first + count < files.size() && bytes < BATCH_BYTES; ++count) {
        const TreeFile& file = files[first + count];
        if (!open_in_batch(file, top, settings, room, count, directories, dry, prehasher))
            break;
        if (room.jobs[count].state != JobState::writing)
            progress.file_done(bytes_to_install(file));
        bytes += bytes_to_install(file);
    }
    // Each file counts up to the size that the walk saw, and all of it once
    // it is done: the line never passes 100%, whatever a file does meanwhile.
    std::vector<off_t> counted(count);
    const auto left = [&](std::size_t job) {
        return bytes_to_install(files[first + job]) - counted[job];
    };
    const std::span<InstallJob> batch = std::span(room.jobs).first(count);
    run_steps(batch, FlushSchedule::each_file_system,
              {[&](std::size_t job, off_t copied) {
                   const off_t counts = std::clamp<off_t>(left(job), 0, copied);
                   counted[job] += counts;
                   progress.bytes_copied(counts);
               },
               [&](std::size_t job) { progress.file_done(std::max<off_t>(left(job), 0)); }});
    return batch;
}
