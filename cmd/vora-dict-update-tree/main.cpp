// vora-dict-update-tree [OPTION]... [DIR | ARCHIVE]: installs every file of
// an update tree, or every member of a publisher's tar archive, as
// vora-dict-update would install it, one line a file (English or JSON) and
// a summary.
#include "archive_run.h"
#include "batch.h"
#include "process.h"
#include "program_version.h"
#include "progress.h"
#include "report.h"
#include "resolve.h"
#include "run_lock.h"
#include "trust.h"
#include "walk.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <unistd.h>

namespace {

constexpr char PROGRAM[] = "vora-dict-update-tree";

constexpr char USAGE[] =
    "Usage: vora-dict-update-tree [OPTION]... [DIR | ARCHIVE]\n"
    "Install every file below DIR (default: the current directory) at the same\n"
    "relative path below /usr/local/share/vora/Dictionary, as vora-dict-update\n"
    "would, skipping entries whose names start with \".\". One line a file, then\n"
    "a summary. ARCHIVE, a tar archive (plain, gzip, xz or zstd), installs its\n"
    "members as the files of the tree it unpacks to, without unpacking it.\n"
    "\n"
    "  -n, --dry-run          print what would be done, and change nothing\n"
    "  -f, --force            install every file whatever the versions (to roll back)\n"
    "  -q, --quiet            print only the failed files and the summary\n"
    "      --json             print JSON Lines: an object a file, then a summary object\n"
    "      --exclude=PATTERN  leave out files and directories whose name or relative\n"
    "                         path matches PATTERN (shell wildcards); repeatable\n"
    "      --wait=SECONDS     give up when another install holds the lock that long\n"
    "                         (default: wait until it ends)\n"
    "      --key=FILE         trust the minisign public key in FILE too; repeatable\n"
    "      --allow-rollback   install a signed tree whose serial is lower than the\n"
    "                         one recorded for its key\n"
    "      --allow-expired    install a signed tree past its manifest's expiry\n"
    "  -h, --help             print this help\n"
    "      --version          print the version\n"
    "\n"
    "Exit status: 0 when no file failed, 1 when any did, 2 when the run is refused.\n";

enum LongOnly {
    JSON_OPTION = 256,
    EXCLUDE_OPTION,
    WAIT_OPTION,
    KEY_OPTION,
    ALLOW_ROLLBACK_OPTION,
    ALLOW_EXPIRED_OPTION,
    VERSION_OPTION
};

struct Options {
    bool dry_run = false;
    bool force = false;
    bool quiet = false;
    Format format = Format::english;
    std::vector<std::string> excluded;
    double wait = -1; // seconds; below 0: for ever
    std::vector<std::string> keys;
    TrustRules trust;
    const char* directory = ".";
};

// Refuses the run: one line on standard error, and with --json one error
// object on standard output, for a program that reads only that.
int refuse(Format format, const std::string& what, const std::string& why = "",
           const Refusal& distrust = {}) {
    const std::string message = what + (why.empty() ? "" : ": " + why);
    (void)std::fprintf(stderr, "%s: %s\n", PROGRAM, message.c_str());
    if (format == Format::json) {
        report_refusal(message, distrust);
        (void)std::fflush(stdout);
    }
    return 2;
}

// Refuses a tree that is not trusted, or keys that cannot be.
int refuse_trust(Format format, const Refusal& distrust) {
    return refuse(format, escaped(distrust.message), "", distrust);
}

constexpr option LONG_OPTIONS[] = {{"dry-run", no_argument, nullptr, 'n'},
                                   {"force", no_argument, nullptr, 'f'},
                                   {"quiet", no_argument, nullptr, 'q'},
                                   {"json", no_argument, nullptr, JSON_OPTION},
                                   {"exclude", required_argument, nullptr, EXCLUDE_OPTION},
                                   {"wait", required_argument, nullptr, WAIT_OPTION},
                                   {"key", required_argument, nullptr, KEY_OPTION},
                                   {"allow-rollback", no_argument, nullptr, ALLOW_ROLLBACK_OPTION},
                                   {"allow-expired", no_argument, nullptr, ALLOW_EXPIRED_OPTION},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, VERSION_OPTION},
                                   {nullptr, 0, nullptr, 0}};

// The long option that --name names, as getopt_long takes it: the whole name
// or a prefix of only one; nullptr for none.
const option* long_option(std::string_view name) {
    const option* found = nullptr;
    int prefixed = 0;
    for (const option* o = LONG_OPTIONS; o->name != nullptr; ++o) {
        if (name == o->name)
            return o;
        if (std::string_view(o->name).starts_with(name)) {
            found = o;
            ++prefixed;
        }
    }
    return prefixed == 1 ? found : nullptr;
}

// Whether the command line asks for JSON, looked up before the options are
// parsed, so that a refusal of any of them is a JSON line too. An argument
// counts where the parser would take it as the option: not as the value of
// --exclude or --wait before it, nor after "--".
Format format_asked(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--")
            break;
        if (!arg.starts_with("--") || arg.size() == 2)
            continue;
        const std::size_t equals = arg.find('=');
        const option* found = long_option(arg.substr(2, equals - 2));
        if (found == nullptr || equals != std::string_view::npos)
            continue;
        if (found->has_arg == required_argument)
            ++i; // its value is the next argument, whatever it looks like
        else if (found->val == JSON_OPTION)
            return Format::json;
    }
    return Format::english;
}

// A number of seconds, not negative; false for anything else.
bool parse_seconds(const char* text, double& seconds) {
    char* end = nullptr;
    errno = 0;
    seconds = std::strtod(text, &end);
    return *text != '\0' && *end == '\0' && errno == 0 && std::isfinite(seconds) && seconds >= 0;
}

// Parses the command line; returns -1 to go on, else the exit status.
int parse_options(int argc, char** argv, Options& options) {
    options.format = format_asked(argc, argv);
    opterr = 0;
    for (int option = 0; (option = getopt_long(argc, argv, "nfqh", LONG_OPTIONS, nullptr)) != -1;) {
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
            break;
        case EXCLUDE_OPTION:
            options.excluded.emplace_back(optarg);
            break;
        case KEY_OPTION:
            options.keys.emplace_back(optarg);
            break;
        case ALLOW_ROLLBACK_OPTION:
            options.trust.allow_rollback = true;
            break;
        case ALLOW_EXPIRED_OPTION:
            options.trust.allow_expired = true;
            break;
        case WAIT_OPTION:
            if (!parse_seconds(optarg, options.wait))
                return refuse(options.format,
                              "invalid --wait value '" + escaped(optarg) + "' (see --help)");
            break;
        case 'h':
            return print_help(USAGE);
        case VERSION_OPTION:
            return print_version(PROGRAM);
        default:
            // optopt is 0 for an unknown long option, and one of ours for a
            // long option given a value or missing one: either way the
            // argument that was just passed names it as typed. Otherwise it
            // is an unknown letter.
            if (optopt == 0 || optopt >= JSON_OPTION || std::strchr("nfqh", optopt) != nullptr)
                return refuse(options.format,
                              "unknown option '" + escaped(argv[optind - 1]) + "' (see --help)");
            return refuse(options.format, "unknown option '-" +
                                              escaped(std::string(1, static_cast<char>(optopt))) +
                                              "' (see --help)");
        }
    }
    if (argc - optind > 1)
        return refuse(options.format, "more than one directory given (see --help)");
    if (argc - optind == 1)
        options.directory = argv[optind];
    // An empty name is no directory, though the system would take it as the current one.
    if (*options.directory == '\0')
        return refuse(options.format, "the directory name is empty (see --help)");
    return -1;
}

// What the summary says of the tree's manifest.
Signing signing_of(const TreeManifest& trust) {
    Signing signing;
    signing.manifest = trust.present;
    signing.signed_by_key = trust.signed_by_key;
    if (trust.signed_by_key)
        signing.key_id = key_id_text(trust.key_id);
    if (trust.present)
        signing.serial = trust.manifest.serial;
    return signing;
}

// Standard output, flushed; the first failure's error number is kept.
void flush_report(int& write_error) {
    if ((std::fflush(stdout) != 0 || std::ferror(stdout) != 0) && write_error == 0)
        write_error = errno != 0 ? errno : EIO;
}

// The argument, resolved one component at a time, a link followed only when
// root owns it: a link that another user owns could point the run at a
// directory or file of root's, whose files would then be installed for all
// to read. A directory is opened for listing, a regular file for reading.
struct Argument {
    UniqueFd fd;
    struct stat status {};
};

int open_argument(const Options& options, Argument& argument) {
    const Resolved located = resolve(AT_FDCWD, options.directory, Links::root_owned, O_PATH);
    if (!located.fd.valid())
        return refuse(options.format, escaped(located.where),
                      located.link ? "a symbolic link that another user owns"
                                   : std::strerror(located.error));
    if (status_of(located.fd.get(), argument.status) != 0)
        return refuse(options.format, escaped(options.directory), std::strerror(last_error()));
    if (S_ISDIR(argument.status.st_mode)) {
        argument.fd = UniqueFd(openat(located.fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!argument.fd.valid())
            return refuse(options.format, escaped(options.directory), std::strerror(last_error()));
        return -1;
    }
    if (!S_ISREG(argument.status.st_mode))
        return refuse(options.format, escaped(options.directory),
                      "neither a directory nor an archive");
    Opened opened =
        open_regular(located.fd.get(), {AT_FDCWD, options.directory, Links::root_owned}, O_RDONLY);
    if (!opened.fd.valid())
        return refuse(options.format, escaped(options.directory),
                      opened.not_regular ? "neither a directory nor an archive"
                                         : std::strerror(opened.error));
    argument.fd = std::move(opened.fd);
    argument.status = opened.status;
    return -1;
}

// Takes the run's lock unless the run is dry; -1 to go on, else the exit status.
int take_lock(const Options& options, const TreeManifest& trust) {
    if (options.dry_run)
        return -1;
    const LockWait wait{
        options.wait,
        [] { (void)std::fprintf(stderr, "%s: waiting for another install to finish\n", PROGRAM); }};
    const RunLock lock = take_run_lock(wait);
    if (lock.state == LockState::given_up)
        return refuse(options.format, "another install is still running (gave up waiting)");
    if (lock.state == LockState::refused)
        return refuse(options.format, std::string("cannot take the lock ") + RUN_LOCK_PATH,
                      lock.why);
    // Another run may have recorded a higher serial while this one waited.
    if (const Refusal rollback = check_rollback(trust, options.trust); rollback.refused())
        return refuse_trust(options.format, rollback);
    return -1; // taken until the process exits
}

// Where a run's lines go: counted, printed, flushed, and then a stopping
// signal that arrived meanwhile takes effect.
struct Output {
    const Options& options;
    Progress& progress;
    Counts counts;
    int write_error = 0;

    template <typename Results>
    void lines(std::size_t size, Results result_of) {
        for (std::size_t i = 0; i < size; ++i) {
            const auto& [path, result] = result_of(i);
            if (shows_line(options.quiet, result)) {
                progress.make_room_for_output();
                break;
            }
        }
        for (std::size_t i = 0; i < size; ++i) {
            const auto& [path, result] = result_of(i);
            report_file(options.format, options.quiet, path, result, counts);
        }
        flush_report(write_error);
        release_signals();
    }
};

// Ends a run of files results: a signed tree installed whole is the host's
// now (an older one will not roll it back), and the summary.
int finish(const Options& options, std::size_t files, Output& output, const TreeManifest& trust) {
    int serial_error = 0;
    if (!options.dry_run && trust.signed_by_key && output.counts.failed == 0)
        serial_error = record_serial(trust.key_id, trust.manifest.serial);
    output.progress.erase();
    report_summary(options.format, files, output.counts, options.dry_run, !options.excluded.empty(),
                   signing_of(trust));
    flush_report(output.write_error);
    if (serial_error != 0)
        (void)std::fprintf(stderr, "%s: cannot record the serial in %s: %s\n", PROGRAM,
                           SERIALS_PATH, std::strerror(serial_error));
    if (output.write_error != 0)
        (void)std::fprintf(stderr, "%s: write error: %s\n", PROGRAM,
                           std::strerror(output.write_error));
    return output.counts.failed == 0 && output.write_error == 0 && serial_error == 0 ? 0 : 1;
}

InstallSettings settings_of(const Options& options) {
    InstallSettings settings;
    settings.profile = Profile::tree;
    settings.force = options.force;
    return settings;
}

int run_tree(const Options& options, int top, const TrustedKeys& keys,
             const BatchCapacity& capacity) {
    const TreeManifest trust = read_tree_manifest(top, keys, options.trust);
    if (trust.refusal.refused())
        return refuse_trust(options.format, trust.refusal);
    // The tree is listed once the lock is held, so that what is installed is
    // what the tree holds then, however long the run waited.
    if (const int status = take_lock(options, trust); status >= 0)
        return status;
    std::size_t excluded = 0;
    std::vector<TreeFile> files = list_tree(top, options.excluded, excluded);
    if (trust.present)
        apply_manifest(trust.manifest, options.excluded, files);
    off_t total_bytes = 0;
    for (const TreeFile& file : files)
        total_bytes += bytes_to_install(file);
    // The second core hashes the large files of a manifest ahead of the install.
    std::optional<Prehasher> prehasher;
    for (const TreeFile& file : files) {
        if (file.digest == nullptr || file.status.st_size < LEASE_FROM || capacity.ahead == 0)
            continue;
        if (!prehasher)
            prehasher.emplace(top, capacity.ahead);
        prehasher->want(file.path);
    }
    Progress progress(files.size(), total_bytes, plain_terminal());
    Output output{options, progress, {}, 0};
    output.counts.excluded = excluded;
    const InstallSettings settings = settings_of(options);
    BatchRoom room(std::min(prehasher ? capacity.hashed : capacity.files, files.size()));
    DryRun dry;
    for (std::size_t first = 0; first < files.size();) {
        const std::span<const InstallJob> done =
            install_batch(files, first, top, settings, progress, room,
                          options.dry_run ? &dry : nullptr, prehasher ? &*prehasher : nullptr);
        output.lines(done.size(), [&](std::size_t i) {
            return std::pair<const std::string&, const InstallResult&>(files[first + i].path,
                                                                       done[i].result);
        });
        first += done.size();
    }
    return finish(options, files.size(), output, trust);
}

int run_archive(const Options& options, const Argument& argument, const TrustedKeys& keys,
                const BatchCapacity& capacity) {
    const std::string name = escaped(options.directory);
    ArchiveReader archive;
    std::optional<Member> first(std::in_place);
    const NextMember read = archive.open(argument.fd.get(), argument.status) ? archive.next(*first)
                                                                             : NextMember::damaged;
    if (read == NextMember::damaged)
        return refuse(options.format, name + ": not a tar archive", escaped(archive.error()));
    if (read == NextMember::end)
        first.reset();
    // The signature is checked before any other member is read.
    bool damaged = false;
    const ManifestTexts texts = read_manifest_members(archive, first, damaged);
    if (damaged)
        return refuse(options.format, name + ": the archive is damaged", escaped(archive.error()));
    TreeManifest trust = judge_manifest(texts, keys, options.trust);
    // In an archive the pair has its place: first.
    if (trust.refusal.why == Distrust::unsigned_tree)
        trust.refusal.message = texts.present
                                    ? std::string(SIGNATURE_NAME) +
                                          ": not the archive's second member, and keys are trusted"
                                    : std::string(MANIFEST_NAME) +
                                          ": not the archive's first member, and keys are trusted";
    if (trust.refusal.refused())
        return refuse_trust(options.format, trust.refusal);
    if (const int status = take_lock(options, trust); status >= 0)
        return status;
    Progress progress(Progress::UNKNOWN_FILES, archive.file_size(), plain_terminal());
    Output output{options, progress, {}, 0};
    DryRun dry;
    ArchiveRunSettings settings;
    settings.install = settings_of(options);
    settings.excluded = options.excluded;
    settings.manifest = trust.present ? &trust.manifest : nullptr;
    settings.batch_files = capacity.files;
    settings.archive_name = options.directory;
    settings.dry = options.dry_run ? &dry : nullptr;
    const ArchiveTotals totals =
        install_archive(archive, std::move(first), settings, progress,
                        [&output](std::span<const MemberResult> results) {
                            output.lines(results.size(), [&](std::size_t i) {
                                return std::pair<const std::string&, const InstallResult&>(
                                    results[i].path, results[i].result);
                            });
                        });
    output.counts.excluded = totals.excluded;
    return finish(options, totals.files, output, trust);
}
} // namespace

int main(int argc, char** argv) {
    if (!open_standard_descriptors())
        return 2;
    ignore_write_signals();
    ignore_lease_breaks();
    Options options;
    if (const int status = parse_options(argc, argv, options); status >= 0)
        return status;
    if (getuid() != 0)
        return refuse(options.format, "must be run as root");
    const BatchCapacity capacity = batch_capacity(!options.dry_run);
    if (capacity.files == 0)
        return refuse(options.format, "too few file descriptors",
                      "raise the limit of open files (ulimit -n)");
    Argument argument;
    if (const int status = open_argument(options, argument); status >= 0)
        return status;
    // Whom the run trusts is settled before anything is locked or written.
    const TrustedKeys keys = load_trusted_keys(options.keys);
    if (keys.refusal.refused())
        return refuse_trust(options.format, keys.refusal);
    options.trust.now = std::time(nullptr);
    if (S_ISDIR(argument.status.st_mode))
        return run_tree(options, argument.fd.get(), keys, capacity);
    return run_archive(options, argument, keys, capacity);
}
