// vora-dict-update-tree [OPTION]... [DIR]: installs every file of an update
// tree as vora-dict-update would install it, one line a file (English or
// JSON) and a summary.
#include "process_guard.h"
#include "tree_batch.h"
#include "tree_progress.h"
#include "tree_report.h"
#include "tree_top.h"
#include "tree_walk.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string>
#include <unistd.h>

namespace {

constexpr char PROGRAM[] = "vora-dict-update-tree";

constexpr char USAGE[] =
    "Usage: vora-dict-update-tree [-n|--dry-run] [-f|--force] [-q|--quiet] [--json] [DIR]\n"
    "Install every file below DIR (default: the current directory) at the same\n"
    "relative path below /usr/local/share/vora/Dictionary, as vora-dict-update\n"
    "would, skipping entries whose names start with \".\". One line a file, then\n"
    "a summary.\n"
    "\n"
    "  -n, --dry-run  print what would be done, and change nothing\n"
    "  -f, --force    install every file whatever the versions (to roll back)\n"
    "  -q, --quiet    print only the failed files and the summary\n"
    "      --json     print JSON Lines: an object a file, then a summary object\n"
    "  -h, --help     print this help\n"
    "\n"
    "Exit status: 0 when no file failed, 1 when any did, 2 when the run is refused.\n";

constexpr int JSON_OPTION = 256;

struct Options {
    bool dry_run = false;
    bool force = false;
    bool quiet = false;
    Format format = Format::english;
    const char* directory = ".";
};

int refuse(const std::string& what, const char* why = nullptr) {
    const std::string line = std::string(PROGRAM) + ": " + what +
                             (why != nullptr ? std::string(": ") + why : std::string()) + "\n";
    (void)std::fputs(line.c_str(), stderr);
    return 2;
}

// Parses the command line; returns -1 to go on, else the exit status.
int parse_options(int argc, char** argv, Options& options) {
    static const option long_options[] = {
        {"dry-run", no_argument, nullptr, 'n'}, {"force", no_argument, nullptr, 'f'},
        {"quiet", no_argument, nullptr, 'q'},   {"json", no_argument, nullptr, JSON_OPTION},
        {"help", no_argument, nullptr, 'h'},    {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int option = 0; (option = getopt_long(argc, argv, "nfqh", long_options, nullptr)) != -1;) {
        switch (option) {
        case 'n':
            options.dry_run = true;
            break;
        case 'f':
            options.force = true;
            break;
        case 'q':
            options.quiet = true;
            break;
        case JSON_OPTION:
            options.format = Format::json;
            break;
        case 'h':
            (void)std::fputs(USAGE, stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        default:
            // optopt is 0 for an unknown long option, and one of ours for a
            // long option given a value: either way the argument that was
            // just passed names it as typed. Otherwise it is an unknown letter.
            if (optopt == 0 || optopt == JSON_OPTION || std::strchr("nfqh", optopt) != nullptr)
                return refuse("unknown option '" + escaped(argv[optind - 1]) + "' (see --help)");
            return refuse("unknown option '-" + escaped(std::string(1, static_cast<char>(optopt))) +
                          "' (see --help)");
        }
    }
    if (argc - optind > 1)
        return refuse("more than one directory given (see --help)");
    if (argc - optind == 1)
        options.directory = argv[optind];
    return -1;
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
    const std::size_t capacity = batch_capacity(!options.dry_run);
    if (capacity == 0)
        return refuse("too few file descriptors", "raise the limit of open files (ulimit -n)");
    std::string where;
    std::string why;
    const int top = open_tree_top(options.directory, where, why);
    if (top < 0)
        return refuse(escaped(where), why.c_str());

    std::size_t excluded = 0;
    const std::vector<TreeFile> files = list_tree(top, {}, excluded);
    off_t total_bytes = 0;
    for (const TreeFile& file : files)
        total_bytes += bytes_to_install(file);
    if (!options.dry_run)
        take_run_lock();
    Progress progress(files.size(), total_bytes, plain_terminal());
    InstallSettings settings;
    settings.dry_run = options.dry_run;
    settings.all_levels = true;
    settings.force = options.force;
    settings.tree = top;
    settings.gate_reads_only = true;
    settings.keep_private = true;
    std::vector<InstallJob> jobs(std::min(capacity, files.size()));
    std::vector<DryWrite> dry_writes;
    Counts counts;

    for (std::size_t first = 0; first < files.size();) {
        const std::span<const InstallJob> done =
            install_batch(files, first, settings, progress, jobs, dry_writes);
        if (std::any_of(done.begin(), done.end(), [&](const InstallJob& job) {
                return shows_line(options.quiet, job.result);
            }))
            progress.make_room_for_output();
        for (std::size_t i = 0; i < done.size(); ++i)
            report_file(options.format, options.quiet, files[first + i].path, done[i].result,
                        counts);
        (void)std::fflush(stdout);
        // A stopping signal that arrived during the batch takes effect now,
        // with the batch's lines out.
        release_signals();
        first += done.size();
    }

    progress.erase();
    report_summary(options.format, files.size(), counts, options.dry_run);
    const bool written = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    return counts.failed == 0 && written ? 0 : 1;
}
