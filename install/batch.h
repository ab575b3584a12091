// The one driver of the install core. Sources are added one at a time, each
// answered planned, full (run the batch first, then add it again) or ended
// with its result; the batch then writes the planned files under a flush
// schedule and commits them, a call each, so that a caller can hold a
// commit back. Results come out in the order the files were added. A
// second path to an installed file that the batch writes already starts
// the next batch, found before its version is read, so that the two end as
// two runs one after the other would leave them: the same for every source.
//
//   Batch batch(world, limits);
//   batch.add(path, source)  -> planned | full | ended
//   batch.write(schedule);   the mark and the body
//   batch.commit(schedule);  the new headers: every job ends
//   batch.result(i) ...      batch.clear()
#pragma once

#include "job.h"
#include "world.h"

#include <cstddef>
#include <memory>
#include <string_view>
#include <unordered_set>
#include <vector>

// How much a batch takes at most: files, and bytes of their updates.
struct BatchLimits {
    std::size_t files = 1;
    off_t bytes = 0; // 0: no limit
};

enum class Added { planned, full, ended };

class Batch {
  public:
    Batch(World& world, BatchLimits limits);

    // Adds the install of update at relative (its path below the current
    // directory and below the dictionary root). The batch takes the source
    // unless it answers full.
    Added add(std::string_view relative, std::unique_ptr<UpdateSource>& update);
    // Adds a file that failed before it had a source: its result, in order.
    // With its relative path, a path that the install would refuse fails
    // that way first.
    Added add_failed(const Failure& failure);
    Added add_failed(std::string_view relative, const Failure& failure);
    // Whether another file fits in; add answers full also for a file that
    // the batch writes already.
    [[nodiscard]] bool has_room() const { return !full(); }

    void write(FlushSchedule schedule, const StepProgress& progress = {});
    void commit(FlushSchedule schedule);

    [[nodiscard]] std::size_t size() const { return jobs_.size(); }
    [[nodiscard]] const InstallResult& result(std::size_t i) const { return jobs_[i].result; }
    // Starts the next batch: the sources of this one are closed.
    void clear();

  private:
    [[nodiscard]] bool full() const;
    // Decides the job just looked up, and carries the decision out.
    void plan(Job& job);

    World& world_;
    BatchLimits limits_;
    std::vector<Job> jobs_;
    Directories directories_;
    std::unordered_set<Place, PlaceHash> writing_; // the installed files that the batch writes
    off_t bytes_ = 0;
};

// The whole of a batch's writing, not held back: write, then commit.
inline void write_and_commit(Batch& batch, FlushSchedule schedule,
                             const StepProgress& progress = {}) {
    batch.write(schedule, progress);
    batch.commit(schedule);
}
