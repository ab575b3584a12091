#include "tree_batch.h"

#include <algorithm>
#include <dirent.h>
#include <sys/resource.h>

namespace {

// A batch ends at this many bytes of updates, so that the flush at its end
// never waits for long, and at this many files.
constexpr off_t BATCH_BYTES = off_t{64} << 20;
constexpr std::size_t BATCH_FILES = 1024;

// Descriptors kept free beside a batch's, for the version gate's look at an
// installed copy and the like.
constexpr std::size_t SPARE_DESCRIPTORS = 8;

// The descriptors open now, or a generous guess when /proc cannot tell.
std::size_t open_descriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return 32;
    std::size_t count = 0;
    while (const dirent* entry = readdir(dir))
        count += entry->d_name[0] != '.' ? 1 : 0;
    closedir(dir);
    return count - 1; // the listing's own
}

bool same_destination(const InstallJob& a, const InstallJob& b) {
    return a.pending() && a.device == b.device && a.inode == b.inode;
}

} // namespace

std::size_t batch_capacity() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1;
    if (limit.rlim_cur < limit.rlim_max) {
        const rlimit raised{limit.rlim_max, limit.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    const std::size_t needed = open_descriptors() + SPARE_DESCRIPTORS;
    const std::size_t room = limit.rlim_cur > needed ? limit.rlim_cur - needed : 0;
    return std::clamp<std::size_t>(room / 2, 1, BATCH_FILES);
}

std::span<const InstallJob> install_batch(const std::vector<TreeFile>& files, std::size_t first,
                                          const InstallSettings& settings, Progress& progress,
                                          std::span<InstallJob> jobs) {
    std::size_t count = 0;
    for (off_t bytes = 0;
         count < jobs.size() && first + count < files.size() && bytes < BATCH_BYTES; ++count) {
        const TreeFile& file = files[first + count];
        InstallJob& job = jobs[count];
        if (file.entry == TreeEntry::unreadable) {
            job = InstallJob{};
            job.result = {Outcome::cannot_open_update, file.error, nullptr, {}};
        } else {
            open_install(file.path.c_str(), &file.status, settings, job);
        }
        const std::span<InstallJob> before = jobs.first(count);
        if (job.pending() && std::any_of(before.begin(), before.end(), [&](const InstallJob& b) {
                return same_destination(b, job);
            })) {
            abandon_install(job);
            break;
        }
        if (!job.pending())
            progress.file_done(bytes_to_install(file));
        bytes += bytes_to_install(file);
    }
    const std::span<InstallJob> batch = jobs.first(count);
    run_install_steps(batch, Flush::each_file_system, [&](const InstallJob& job) {
        progress.file_done(
            bytes_to_install(files[first + static_cast<std::size_t>(&job - jobs.data())]));
    });
    return batch;
}
