// vora-dict-update-tree [OPTION]... [DIR | ARCHIVE]: installs every file of
// an update tree, or every member of a publisher's tar archive, as
// vora-dict-update would install it, one line a file (English or JSON) and
// a summary.
#include "archive_run.h"
#include "disk.h"
#include "dry_run.h"
#include "options.h"
#include "process.h"
#include "progress.h"
#include "report.h"
#include "resolve.h"
#include "run_lock.h"
#include "tree_run.h"
#include "trust.h"
#include "verified_source.h"
#include "walk.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

// What the summary says of the tree's manifest.
Signing signing_of(const TreeManifest& trust) {
    Signing signing;
    signing.manifest = trust.present;
    signing.signed_by_key = trust.signed_by_key;
    if (trust.signed_by_key)
        signing.key_id = key_id_text(trust.key_id);
    if (trust.present) {
        signing.serial = trust.manifest.serial;
        signing.name = trust.manifest.name;
    }
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
    Resolved located = resolve({AT_FDCWD, options.directory, Walk::root_links, O_PATH});
    if (!located.ok())
        return refuse(options.format, escaped(located.failure().where),
                      located.link() ? "a symbolic link that another user owns"
                                     : std::strerror(located.error()));
    const UniqueFd found = located.take();
    if (const int error = status_of(found.get(), argument.status))
        return refuse(options.format, escaped(options.directory), std::strerror(error));
    if (S_ISDIR(argument.status.st_mode)) {
        argument.fd = UniqueFd(openat(found.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!argument.fd.valid())
            return refuse(options.format, escaped(options.directory), std::strerror(last_error()));
        return -1;
    }
    if (!S_ISREG(argument.status.st_mode))
        return refuse(options.format, escaped(options.directory),
                      "neither a directory nor an archive");
    Opened opened =
        open_regular(found.get(), {AT_FDCWD, options.directory, Walk::root_links, O_RDONLY});
    if (!opened.fd.valid())
        return refuse(options.format, escaped(options.directory),
                      opened.not_regular ? "neither a directory nor an archive"
                                         : std::strerror(opened.error));
    argument.fd = std::move(opened.fd);
    argument.status = opened.status;
    return -1;
}

// Takes the run's lock into lock unless the run is dry; -1 to go on, else
// the exit status.
int take_lock(const Options& options, const TreeManifest& trust, std::optional<RunLock>& lock) {
    if (options.dry_run)
        return -1;
    const LockWait wait{
        options.wait,
        [] { (void)std::fprintf(stderr, "%s: waiting for another install to finish\n", PROGRAM); }};
    lock.emplace(take_run_lock(wait));
    if (lock->state() == LockState::given_up)
        return refuse(options.format, "another install is still running (gave up waiting)");
    if (lock->state() == LockState::refused)
        return refuse(options.format, std::string("cannot take the lock ") + RUN_LOCK_PATH,
                      lock->why());
    // Another run may have recorded a higher serial while this one waited.
    if (const Refusal rollback = check_rollback(trust, options.trust); rollback.refused())
        return refuse_trust(options.format, rollback);
    return -1; // held until the process exits
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
    std::string serial_error;
    if (!options.dry_run && trust.signed_by_key && output.counts.failed == 0)
        serial_error = record_serial(release_line(trust), trust.manifest.serial);
    output.progress.erase();
    report_summary(options.format, {files, output.counts, options.dry_run,
                                    !options.excluded.empty(), signing_of(trust)});
    flush_report(output.write_error);
    if (!serial_error.empty())
        (void)std::fprintf(stderr, "%s: cannot record the serial: %s\n", PROGRAM,
                           escaped(serial_error).c_str());
    if (output.write_error != 0)
        (void)std::fprintf(stderr, "%s: write error: %s\n", PROGRAM,
                           std::strerror(output.write_error));
    return output.counts.failed == 0 && output.write_error == 0 && serial_error.empty() ? 0 : 1;
}

InstallSettings settings_of(const Options& options) {
    InstallSettings settings;
    settings.profile = Profile::tree;
    settings.force = options.force;
    return settings;
}

// The world that a run's batches act in: the disk, under the run's lock,
// or a dry run's account.
class RunWorld {
  public:
    RunWorld(const Options& options, const std::optional<RunLock>& lock)
        : settings_(settings_of(options)) {
        if (options.dry_run)
            world_ = std::make_unique<DryRun>(settings_);
        else
            world_ = std::make_unique<DiskWorld>(
                settings_, [&lock] { return lock.has_value() && lock->still_held(); });
    }
    World& operator*() { return *world_; }

  private:
    InstallSettings settings_;
    std::unique_ptr<World> world_;
};

// The second core hashes the large files of a manifest ahead of the install.
std::unique_ptr<Prehasher> hash_ahead(const std::vector<TreeFile>& files, int top,
                                      std::size_t ahead) {
    std::unique_ptr<Prehasher> prehasher;
    for (const TreeFile& file : files) {
        if (file.digest == nullptr || file.status.st_size < LEASE_FROM || ahead == 0)
            continue;
        if (!prehasher)
            prehasher = std::make_unique<Prehasher>(top, ahead);
        prehasher->want(file.path);
    }
    return prehasher;
}

int run_tree(const Options& options, int top, const TrustedKeys& keys,
             const BatchCapacity& capacity) {
    const TreeManifest trust = read_tree_manifest(top, keys, options.trust);
    if (trust.refusal.refused())
        return refuse_trust(options.format, trust.refusal);
    // The tree is listed once the lock is held, so that what is installed is
    // what the tree holds then, however long the run waited.
    std::optional<RunLock> lock;
    if (const int status = take_lock(options, trust, lock); status >= 0)
        return status;
    std::size_t excluded = 0;
    std::vector<TreeFile> files = list_tree(top, options.excluded, excluded);
    if (trust.present)
        apply_manifest(trust.manifest, options.excluded, files);
    off_t total_bytes = 0;
    for (const TreeFile& file : files)
        total_bytes += bytes_to_install(file);
    const std::unique_ptr<Prehasher> prehasher = hash_ahead(files, top, capacity.ahead);
    Progress progress(files.size(), total_bytes, plain_terminal());
    Output output{options, progress, {}, 0};
    output.counts.excluded = excluded;
    RunWorld world(options, lock);
    Batch batch(*world, {std::max<std::size_t>(prehasher ? capacity.hashed : capacity.files, 1),
                         BATCH_BYTES});
    install_tree({files, top, prehasher.get()}, batch, progress,
                 [&output](std::span<const std::string> paths, const Batch& done) {
                     output.lines(paths.size(), [&](std::size_t i) {
                         return std::pair<const std::string&, const InstallResult&>(paths[i],
                                                                                    done.result(i));
                     });
                 });
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
    std::optional<RunLock> lock;
    if (const int status = take_lock(options, trust, lock); status >= 0)
        return status;
    Progress progress(Progress::UNKNOWN_FILES, archive.file_size(), plain_terminal());
    Output output{options, progress, {}, 0};
    RunWorld world(options, lock);
    ArchiveRunSettings settings;
    settings.excluded = options.excluded;
    settings.manifest = trust.present ? &trust.manifest : nullptr;
    settings.batch_files = capacity.files;
    settings.archive_name = options.directory;
    const ArchiveTotals totals =
        install_archive({archive, std::move(first)}, *world, settings, progress,
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
    const BatchCapacity capacity = batch_capacity(options.dry_run ? LockTaken::no : LockTaken::yes);
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
