#include "tree_run.h"

#include "file_source.h"
#include "verified_source.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
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

// The file's source: reached from the tree's top without following a link,
// and checked against its manifest's digest when one is listed.
Failure open_source(const TreeFiles& tree, const TreeFile& file,
                    std::unique_ptr<UpdateSource>& source) {
    if (file.digest == nullptr) {
        auto opened = std::make_unique<FileSource>();
        const Failure failure =
            opened->open(tree.top, file.path.c_str(), Walk::beneath | Walk::no_links);
        source = std::move(opened);
        return failure;
    }
    auto verified = std::make_unique<VerifiedSource>(
        *file.digest, tree.prehasher != nullptr ? tree.prehasher->take(file.path) : std::nullopt);
    Failure failure = verified->open(tree.top, file.path.c_str(), Walk::beneath | Walk::no_links);
    if (!failure.failed())
        failure = verified->verify();
    source = std::move(verified);
    return failure;
}

// Where a tree install stands: the files of the batch being gathered start
// at first.
struct TreeRun {
    const TreeFiles& tree;
    Batch& batch;
    Progress& progress;
    const ReportBatch& report;
    std::size_t first = 0;
    std::vector<std::string> paths; // of the batch's files
};

// Runs the batch gathered, reports it, and starts the next one. Each file
// counts up to the size that the walk saw, and all of it once it is done:
// the line never passes 100%, whatever a file does meanwhile.
void run_batch(TreeRun& run) {
    const std::vector<TreeFile>& files = run.tree.files;
    std::vector<off_t> counted(run.batch.size());
    const auto left = [&](std::size_t job) {
        return bytes_to_install(files[run.first + job]) - counted[job];
    };
    write_and_commit(
        run.batch, FlushSchedule::each_file_system,
        {[&](std::size_t job, off_t copied) {
             const off_t counts = std::clamp<off_t>(left(job), 0, copied);
             counted[job] += counts;
             run.progress.bytes_copied(counts);
         },
         [&](std::size_t job) { run.progress.file_done(std::max<off_t>(left(job), 0)); }});
    run.report(run.paths, run.batch);
    run.first += run.batch.size();
    run.paths.clear();
    run.batch.clear();
}

// Adds a file to the batch, running the batch first when it has no room or
// writes the file's installed file already.
void add_file(TreeRun& run, const TreeFile& file) {
    if (!run.batch.has_room())
        run_batch(run);
    const bool opens = file.entry == TreeEntry::regular;
    std::unique_ptr<UpdateSource> source;
    const Failure failure = opens ? open_source(run.tree, file, source) : walk_failure(file);
    Added added = Added::full;
    while (added == Added::full) {
        added = failure.failed() ? run.batch.add_failed(failure) : run.batch.add(file.path, source);
        if (added == Added::full)
            run_batch(run);
    }
    run.paths.push_back(file.path);
    if (added != Added::planned)
        run.progress.file_done(bytes_to_install(file));
}

} // namespace

Failure walk_failure(const TreeFile& file) {
    const Problem problem = file.entry == TreeEntry::link       ? Problem::symbolic_link
                            : file.entry == TreeEntry::unlisted ? Problem::not_in_manifest
                            : file.entry == TreeEntry::missing  ? Problem::missing
                            : file.entry == TreeEntry::special  ? Problem::not_regular
                                                                : Problem::none;
    return {Step::open_update, file.entry == TreeEntry::special ? 0 : file.error, problem};
}

BatchCapacity batch_capacity(LockTaken lock) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return {1, 0, 0};
    if (limit.rlim_cur < limit.rlim_max) {
        const rlimit raised{limit.rlim_max, limit.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    // The tree's top directory is yet to be opened, and the lock perhaps.
    const std::size_t needed = open_descriptors(limit.rlim_cur) + 1 +
                               (lock == LockTaken::yes ? 1 : 0) + OPENING_EXTRA + SPARE_DESCRIPTORS;
    const std::size_t spare = limit.rlim_cur > needed ? limit.rlim_cur - needed : 0;
    const std::size_t files = std::min(spare / HELD_PER_FILE, BATCH_FILES);
    // Files are hashed ahead only where the limit leaves room for them beside
    // a batch as long as they are: a file hashed ahead holds one descriptor
    // more until its job ends.
    if (spare < (MOST_AHEAD + 1) * (HELD_PER_FILE + 1))
        return {files, 0, files};
    return {files, MOST_AHEAD, std::min((spare - MOST_AHEAD) / (HELD_PER_FILE + 1), BATCH_FILES)};
}

void install_tree(const TreeFiles& tree, Batch& batch, Progress& progress,
                  const ReportBatch& report) {
    TreeRun run{tree, batch, progress, report, 0, {}};
    for (const TreeFile& file : tree.files)
        add_file(run, file);
    if (batch.size() > 0)
        run_batch(run);
}
