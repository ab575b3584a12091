// The installer's core: installs one update file and says what became of it,
// without printing. Each command turns the outcome into its own line.
#pragma once

#include "version_gate.h"

#include <array>
#include <cstddef>
#include <string_view>
#include <sys/types.h>

// Every installed dictionary file lives below this directory, at the same
// relative path as its update file below the current directory.
inline constexpr std::string_view DICTIONARY_ROOT = "/usr/local/share/vora/Dictionary";

// Holds the destination path with its terminator.
inline constexpr std::size_t PATH_SIZE = 1024;
using PathBuffer = std::array<char, PATH_SIZE>;

enum class Outcome { added, updated, current, cannot_open_update, write_failed };

struct InstallResult {
    Outcome outcome;
    int error;           // the system's error number behind a failure, or 0
    const char* problem; // a failure that no error number names, or nullptr
    VersionTexts texts;  // the versions found, each empty when unknown
};

struct InstallSettings {
    bool dry_run = false;    // decide and check, but create and change nothing
    bool all_levels = false; // make every missing directory from the root down
};

// One file's install between its steps. A batch of installs can share the
// flushes between the steps (see below); install_file runs them all for one.
struct InstallJob {
    PathBuffer destination{};
    int update = -1;
    int installed = -1;
    dev_t device = 0; // the file system that the destination lies on
    off_t length = 0; // the update's length, known once its tail is copied
    bool existed = false;
    bool created = false; // this run made the destination file
    bool made_parent = false;
    bool decode = false;
    bool header_written = false; // step 2 began
    InstallResult result{};

    [[nodiscard]] bool pending() const { return installed >= 0; }
};

// Step 1: checks, the version gate, directories, the reservation, and every
// block but the first, with the file cut to length. The job is pending when
// the install goes on; otherwise its result is final and nothing is open.
// From the reservation on, hold_signals is in force.
void begin_install(const char* update_path, const InstallSettings& settings, InstallJob& job);
// Step 2, once the data of step 1 is on disk: the first block.
void write_header_block(InstallJob& job);
// Step 3, once that too is on disk: closes the files. A failed job's created
// file is removed; an existing copy whose new header may already show is
// cleared of it, so that the next run installs the update again. Call it
// for every pending job, failed or not.
void end_install(InstallJob& job);

// Marks a pending job failed, with the system's error number or a problem.
void fail_job(InstallJob& job, int error, const char* problem = nullptr);

// The whole install of one file: the three steps with their flushes.
InstallResult install_file(const char* update_path, const InstallSettings& settings);
