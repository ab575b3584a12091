// Where a batch's decisions are read from and carried out: the disk, for a
// real run, or a dry run's account of what the real run would have done by
// then. The batch drives either the same way; only the world differs.
#pragma once

#include "decide.h"
#include "job.h"
#include "profile.h"

#include <functional>
#include <span>

// How a batch makes each step's writes durable: one fdatasync a file, or
// one syncfs a file system for the whole batch.
enum class FlushSchedule { each_file, each_file_system };

// Told, with the job's place in the batch, of the update bytes as they are
// copied, and when a job's body is copied.
struct StepProgress {
    std::function<void(std::size_t job, off_t bytes)> bytes;
    std::function<void(std::size_t job)> body_copied;
};

class World {
  public:
    World() = default;
    World(const World&) = delete;
    World& operator=(const World&) = delete;
    virtual ~World() = default;

    [[nodiscard]] virtual const InstallSettings& settings() const = 0;

    // A new batch starts: free space is read afresh before its writes.
    virtual void begin_batch() = 0;

    // Looks the installed file up as the run would find it, and opens a
    // copy found for the version gate.
    virtual void look_up(Job& job, Directories& directories) = 0;
    // Where the file is, so that two paths to one file within a batch are
    // told: before the job is planned, and once it is.
    virtual Place place(Job& job) = 0;

    // What a decision reads of the installed file.
    [[nodiscard]] virtual bool copy_present(const Job& job) const = 0;
    virtual bool copy_only_root_reads(Job& job) = 0;
    virtual bool new_file_private(Job& job) = 0;
    virtual VersionValue installed_version(Job& job) = 0;
    virtual bool holds_the_update(Job& job) = 0;

    // Carries a decision to write out: the directories, the file; the job
    // is planned, or ended with why not.
    virtual void act(Job& job, const Write& write, Directories& directories) = 0;

    // The steps of the planned jobs: the mark and the body, then the
    // commit of their new headers; each ends the jobs that fail it, and the
    // commit ends them all.
    virtual void write(std::span<Job> jobs, FlushSchedule schedule,
                       const StepProgress& progress) = 0;
    virtual void commit(std::span<Job> jobs, FlushSchedule schedule) = 0;
};
