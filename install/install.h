// The install core that both installing commands share: one file's install,
// or a batch of them, saying what became of each without printing. Data
// moves forward only: a job is started over an update source and the
// installed file is looked up, the plan decides (a dry run ends there), and
// the steps write, each followed by its flush.
#pragma once

#include "body_copy.h"
#include "digest.h"
#include "dry_run.h"
#include "job.h"
#include "profile.h"

#include <functional>
#include <span>
#include <string_view>

// Starts a job for the update at relative: its installed file lies at the
// same relative path below DICTIONARY_ROOT. false, with the job ended,
// when that path is too long or climbs above the root; nothing has been
// opened then.
bool start_job(InstallJob& job, std::string_view relative);

// With the update that the caller then opened: the installed file is looked
// up without opening it, so that its identity is known before its version
// is read.
void look_up(InstallJob& job, UpdateSource& update, Directories& directories);

// For a started job: the version gate, the checks, the directories, and
// the opening of the installed file for writing; nothing is written to it
// yet. The job is writing when the install goes on; otherwise it has ended.
// A dry run ends every job here, with the result that the real run would
// have after the files before it, of which dry keeps account.
void plan_job(InstallJob& job, const InstallSettings& settings, Directories& directories,
              DryRun* dry = nullptr);

// Ends a job that has not been written to (a file it created is removed),
// or a failed one, with outcome, or failure.
void end_job(InstallJob& job, Outcome outcome);
void end_job(InstallJob& job, const Failure& failure);

// How a batch makes each step's writes durable: one fdatasync a file, or
// one syncfs a file system for the whole batch.
enum class FlushSchedule { each_file, each_file_system };

// Told, with the job's place in the batch, of the update bytes as they are
// copied, and when a job's body is copied.
struct StepProgress {
    std::function<void(std::size_t job, off_t bytes)> bytes;
    std::function<void(std::size_t job)> body_copied;
};

// Runs the install's steps over the writing jobs, each step followed by its
// flush: the mark that ends the old header, the body (everything but the
// first sector), the first sector. First, a job whose file system has too
// little free space for it fails before anything is written. Ends every
// job: a failed job's created file is removed, and an existing copy keeps
// or gets the mark back, so that the next run installs it whole. From the
// first step on, the stopping signals are held.
void run_steps(std::span<InstallJob> jobs, FlushSchedule schedule,
               const StepProgress& progress = {});

// The whole install of one file, the single tool's: update_path as typed,
// links followed; its bytes must have the digest expected, when given.
InstallResult install_file(const char* update_path, const InstallSettings& settings,
                           const Sha256* expected = nullptr);
