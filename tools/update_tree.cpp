// vora-dict-update-tree [-n|--dry-run] [-q|--quiet] [DIR]: installs every
// file of an update tree as vora-dict-update would install it, one English
// line a file and a summary.
#include "install_file.h"
#include "process_guard.h"
#include "tree_progress.h"
#include "tree_walk.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char PROGRAM[] = "vora-dict-update-tree";

constexpr char USAGE[] =
    "Usage: vora-dict-update-tree [-n|--dry-run] [-q|--quiet] [DIR]\n"
    "Install every file below DIR (default: the current directory) at the same\n"
    "relative path below /usr/local/share/vora/Dictionary, as vora-dict-update\n"
    "would, skipping entries whose names start with \".\". One line a file, then\n"
    "a summary.\n"
    "\n"
    "  -n, --dry-run  print what would be done, and change nothing\n"
    "  -q, --quiet    print only the failed files and the summary\n"
    "  -h, --help     print this help\n"
    "\n"
    "Exit status: 0 when no file failed, 1 when any did, 2 when the run is refused.\n";

// Installs share their flushes in batches of this many files (or bytes).
constexpr std::size_t BATCH_FILES = 128;
constexpr off_t BATCH_BYTES = off_t{64} << 20;

struct Options {
    bool dry_run = false;
    bool quiet = false;
    const char* directory = ".";
};

struct Counts {
    std::size_t added = 0;
    std::size_t updated = 0;
    std::size_t current = 0;
    std::size_t failed = 0;
};

int refuse(const char* what, const char* why = nullptr) {
    if (why != nullptr)
        (void)std::fprintf(stderr, "%s: %s: %s\n", PROGRAM, what, why);
    else
        (void)std::fprintf(stderr, "%s: %s\n", PROGRAM, what);
    return 2;
}

// Parses the command line; returns -1 to go on, else the exit status.
int parse_options(int argc, char** argv, Options& options) {
    static const option long_options[] = {{"dry-run", no_argument, nullptr, 'n'},
                                          {"quiet", no_argument, nullptr, 'q'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int option = 0; (option = getopt_long(argc, argv, "nqh", long_options, nullptr)) != -1;) {
        switch (option) {
        case 'n':
            options.dry_run = true;
            break;
        case 'q':
            options.quiet = true;
            break;
        case 'h':
            (void)std::fputs(USAGE, stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        default:
            if (optopt != 0)
                (void)std::fprintf(stderr, "%s: unknown option '-%c' (see --help)\n", PROGRAM,
                                   optopt);
            else
                (void)std::fprintf(stderr, "%s: unknown option '%s' (see --help)\n", PROGRAM,
                                   argv[optind - 1]);
            return 2;
        }
    }
    if (argc - optind > 1)
        return refuse("more than one directory given (see --help)");
    if (argc - optind == 1)
        options.directory = argv[optind];
    return -1;
}

// The versions behind a line, where known: "(1.02 -> 1.03)", "(1.03>=1.03)".
void print_versions(const InstallResult& result) {
    const char* installed = result.texts.installed_text.data();
    const char* update = result.texts.update_text.data();
    if (result.outcome == Outcome::current)
        std::printf(" (%s>=%s)", installed, update);
    else if (result.outcome == Outcome::updated && *installed != '\0' && *update != '\0')
        std::printf(" (%s -> %s)", installed, update);
    else if (*update != '\0')
        std::printf(" (%s)", update);
}

void print_line(const char* path, const InstallResult& result, bool quiet, Counts& counts) {
    const char* word = nullptr;   // of an installed or current file
    const char* reason = nullptr; // of a failed one
    switch (result.outcome) {
    case Outcome::added:
        word = "added";
        ++counts.added;
        break;
    case Outcome::updated:
        word = "updated";
        ++counts.updated;
        break;
    case Outcome::current:
        word = "current";
        ++counts.current;
        break;
    case Outcome::cannot_open_update:
        reason = "cannot open the update";
        break;
    case Outcome::write_failed:
        reason = "writing the dictionary failed";
        break;
    }
    if (reason != nullptr) {
        ++counts.failed;
        std::printf("failed %s: %s", path, reason);
        if (result.problem != nullptr || result.error != 0)
            std::printf(": %s",
                        result.problem != nullptr ? result.problem : std::strerror(result.error));
        std::putchar('\n');
        return;
    }
    if (quiet)
        return;
    std::printf("%s %s", word, path);
    print_versions(result);
    std::putchar('\n');
}

// Flushes the file systems that the batch's pending installs write to, one
// syncfs each, and fails the installs on one whose flush failed.
void flush_batch(std::span<InstallJob> jobs) {
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const auto on_this_device = [&](const InstallJob& job) {
            return job.pending() && job.device == jobs[i].device;
        };
        const std::span<InstallJob> before = jobs.first(i);
        if (!jobs[i].pending() || std::any_of(before.begin(), before.end(), on_this_device) ||
            syncfs(jobs[i].installed) == 0)
            continue;
        const int error = errno;
        for (InstallJob& job : jobs.subspan(i))
            if (on_this_device(job))
                fail_job(job, error);
    }
}

std::array<InstallJob, BATCH_FILES> jobs;

// Installs files from first on in one batch, which shares its flushes: step
// 1 of each install, one flush, the first blocks, one flush. Returns how many
// files the batch took; their results are in jobs.
std::size_t install_batch(const std::vector<TreeFile>& files, std::size_t first,
                          const InstallSettings& settings, Progress& progress) {
    std::size_t count = 0;
    for (off_t bytes = 0;
         count < jobs.size() && first + count < files.size() && bytes < BATCH_BYTES; ++count) {
        const TreeFile& file = files[first + count];
        if (file.error != 0) {
            jobs[count] = InstallJob{};
            jobs[count].result = {Outcome::cannot_open_update, file.error, nullptr, {}};
        } else {
            begin_install(file.path.c_str(), settings, jobs[count]);
        }
        bytes += file.size;
        progress.file_done(file.size);
    }
    const std::span<InstallJob> batch(jobs.data(), count);
    flush_batch(batch);
    for (InstallJob& job : batch)
        write_header_block(job);
    flush_batch(batch);
    for (InstallJob& job : batch)
        end_install(job);
    return count;
}

} // namespace

int main(int argc, char** argv) {
    if (!open_standard_descriptors())
        return 2;
    ignore_write_signals();
    Options options;
    if (const int status = parse_options(argc, argv, options); status >= 0)
        return status;
    if (getuid() != 0)
        return refuse("must be run as root");
    struct stat top {};
    if (stat(options.directory, &top) != 0)
        return refuse(options.directory, std::strerror(errno));
    if (!S_ISDIR(top.st_mode))
        return refuse(options.directory, std::strerror(ENOTDIR));
    if (chdir(options.directory) != 0)
        return refuse(options.directory, std::strerror(errno));

    const std::vector<TreeFile> files = list_tree();
    off_t total_bytes = 0;
    for (const TreeFile& file : files)
        total_bytes += file.size;
    if (!options.dry_run)
        take_run_lock();
    Progress progress(files.size(), total_bytes);
    const InstallSettings settings{options.dry_run, true};
    Counts counts;

    for (std::size_t first = 0; first < files.size();) {
        const std::size_t count = install_batch(files, first, settings, progress);
        progress.erase();
        for (std::size_t i = 0; i < count; ++i)
            print_line(files[first + i].path.c_str(), jobs[i].result, options.quiet, counts);
        (void)std::fflush(stdout);
        // A stopping signal that arrived during the batch takes effect now,
        // with the progress line erased.
        release_signals();
        progress.resume();
        first += count;
    }

    progress.erase();
    std::printf("%zu files: %zu added, %zu updated, %zu current, %zu failed%s\n", files.size(),
                counts.added, counts.updated, counts.current, counts.failed,
                options.dry_run ? " (dry run)" : "");
    const bool written = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    return counts.failed == 0 && written ? 0 : 1;
}
