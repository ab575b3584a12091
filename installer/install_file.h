// The installer's core: installs one update file, or a batch of them, and
// says what became of each, without printing. Each command turns the
// outcome into its own line.
#pragma once

#include "copy_update.h"
#include "reach_file.h"
#include "version_gate.h"

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>

// Every installed dictionary file lives below this directory, at the same
// relative path as its update file below the current directory.
inline constexpr std::string_view DICTIONARY_ROOT = "/usr/local/share/vora/Dictionary";

// Holds the destination path with its terminator.
inline constexpr std::size_t PATH_SIZE = 1024;
using PathBuffer = std::array<char, PATH_SIZE>;

enum class Outcome {
    added,
    updated,
    current,
    cannot_open_update,
    write_failed,
    update_changed, // the update was written to while it was being installed
    not_followed,   // the update is a symbolic link, and links are not followed
    kept_private,   // others may not read the update, and all could read the copy
};

// Whether an installed copy stood at the destination before the run.
enum class Copy { unknown, missing, present };

struct InstallResult {
    Outcome outcome;
    int error;              // the system's error number behind a failure, or 0
    const Problem* problem; // a failure that no error number names, or nullptr
    VersionTexts texts;     // the versions found, each empty when unknown
    bool changed = false;   // a byte of the dictionary changed (in a dry run: would)
    Copy copy = Copy::unknown;
    bool same_contents = false; // current because the copy holds the bytes already
};

// The soft RLIMIT_FSIZE, or RLIM_INFINITY when there is none or it is unknown.
rlim_t current_file_size_limit();

struct InstallSettings {
    bool dry_run = false;    // decide and check, but create and change nothing
    bool all_levels = false; // make every missing directory on the way, like mkdir -p
    bool force = false;      // install whatever the versions say
    // The update tree's top directory, from which each update is reached
    // without following a link or leaving it; -1: update paths are relative
    // to the current directory, and links are followed.
    int tree = -1;
    // The version gate opens the installed copy read-only; otherwise it
    // takes only a copy that it could rewrite as current.
    bool gate_reads_only = false;
    // An update that others may not read fails rather than being installed
    // where all may read it.
    bool keep_private = false;
    // A copy that holds exactly the bytes that the install would write is
    // current, whatever the versions say: nothing is written.
    bool compare_contents = false;
    // The process's file-size limit, read once for the run: an update longer
    // than it fails before anything is written.
    rlim_t file_size_limit = current_file_size_limit();
};

// One file's install between its steps. A batch of installs shares the
// flush after each step; install_file runs them for one file.
struct InstallJob {
    PathBuffer destination{};
    int update = -1;
    int located = -1;                // the destination, as O_PATH, from its lookup until its open
    int installed = -1;              // the destination, open for writing
    struct stat update_status {};    // the update as opened, compared after its last read
    struct stat installed_status {}; // the destination as found, when it existed
    dev_t device = 0;                // the destination file's identity, once known
    ino_t inode = 0;
    // In a dry run, the version that an earlier file of the run would have
    // left in this destination, which the gate then takes instead of the copy's.
    std::optional<VersionText> assumed_version;
    std::array<unsigned char, SECTOR_SIZE> first_sector{}; // the new header's sector
    std::size_t first_sector_size = 0;
    bool existed = false;
    bool dangling = false; // the destination is a link to nothing
    bool created = false;  // this run made the destination file
    bool made_parent = false;
    bool decode = false;
    bool committing = false; // the write of the new first sector began
    InstallResult result{};

    // The update's path as given, which the destination ends with.
    [[nodiscard]] const char* update_path() const {
        return destination.data() + DICTIONARY_ROOT.size() + 1;
    }
    [[nodiscard]] bool pending() const { return installed >= 0; }
    // The update is open and the destination looked up; nothing decided yet.
    [[nodiscard]] bool started() const { return update >= 0 && installed < 0; }
    // Nothing has gone wrong so far.
    [[nodiscard]] bool succeeding() const {
        return result.outcome == Outcome::added || result.outcome == Outcome::updated;
    }
    [[nodiscard]] bool active() const { return pending() && succeeding(); }
    [[nodiscard]] bool identified() const { return device != 0 || inode != 0; }
};

// The first half of opening an install: the update is opened and the
// destination looked up, so that its identity is known before its version
// is read. walked, when given, is what a walk of the update tree found at
// update_path (without following a link): a link or anything but a
// regular file is not opened. The job is started when the install goes on;
// otherwise its result is final and nothing is open.
void start_install(const char* update_path, const struct stat* walked,
                   const InstallSettings& settings, InstallJob& job);

// The second half, for a started job: the version gate, the checks, the
// directories, and the opening of the destination for writing; nothing is
// written to it yet. The job is pending when the install goes on;
// otherwise its result is final and nothing is open. A dry run stops here.
void open_install(const InstallSettings& settings, InstallJob& job);

// Closes a started or pending job's files before anything was written to
// the destination, removing the file if the job made it. Its result stays.
void abandon_install(InstallJob& job);

// How a batch makes each step's writes durable: one fdatasync a file, or one
// syncfs a file system for the whole batch.
enum class Flush { each_file, each_file_system };

// Runs the install's steps over the pending jobs, each step followed by its
// flush: the mark that ends the old header, the body (everything but the
// first sector), the first sector. First, a job whose file system has too
// little free space for it fails with ENOSPC before anything is written.
// Closes every file; a failed job's created file is removed, and an
// existing copy keeps or gets the mark back, so that the next run installs
// it whole. From the first step on, hold_signals is in force.
struct StepProgress {
    CopyProgress bytes;                // told of the update bytes as they are copied
    std::function<void()> body_copied; // called when a job's body is copied
};
void run_install_steps(std::span<InstallJob> jobs, Flush flush, const StepProgress& progress = {});

// Marks a pending job failed, with the system's error number or a problem.
void fail_job(InstallJob& job, int error, const Problem* problem = nullptr);

// The whole install of one file, following the link that update_path may be.
InstallResult install_file(const char* update_path, const InstallSettings& settings);
