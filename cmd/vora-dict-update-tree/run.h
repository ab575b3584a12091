// What a tree run and an archive run share: the lock, the world their
// batches act in, where their lines go, and how they end.
#pragma once

#include "disk.h"
#include "dry_run.h"
#include "options.h"
#include "process.h"
#include "progress.h"
#include "report.h"
#include "run_lock.h"
#include "trust.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

// Takes the run's lock into lock unless the run is dry; -1 to go on, else
// the exit status.
int take_lock(const Options& options, const TreeManifest& trust, std::optional<RunLock>& lock);

// The world that a run's batches act in: the disk, under the run's lock,
// or a dry run's account.
class RunWorld {
  public:
    RunWorld(const Options& options, const std::optional<RunLock>& lock);
    World& operator*() { return *world_; }

  private:
    InstallSettings settings_;
    std::unique_ptr<World> world_;
};

// Standard output, flushed; the first failure's error number is kept.
void flush_report(int& write_error);

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
int finish(const Options& options, std::size_t files, Output& output, const TreeManifest& trust);

// Where a verification's lines go: counted and printed, flushed as they come.
struct VerifyOutput {
    const Options& options;
    VerifyCounts counts;
    int write_error = 0;

    void line(std::string_view path, const Verified& verified);
};

// Ends a verification of files: the summary; 0 when every file is ok.
int finish_verify(std::size_t files, VerifyOutput& output, const TreeManifest& trust);
