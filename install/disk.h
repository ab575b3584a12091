// The real run's world: the installed files on disk, and the steps that
// write them.
#pragma once

#include "world.h"

// Whether the run still holds its lock, asked before each step: a run that
// no longer does stops there.
using StillLocked = std::function<bool()>;

class DiskWorld final : public World {
  public:
    DiskWorld(const InstallSettings& settings, StillLocked still_locked)
        : settings_(settings), still_locked_(std::move(still_locked)) {}

    [[nodiscard]] const InstallSettings& settings() const override { return settings_; }
    void begin_batch() override {}
    void look_up(Job& job, Directories& directories) override;
    Place place(Job& job) override;
    [[nodiscard]] bool copy_present(const Job& job) const override;
    bool copy_only_root_reads(Job& job) override;
    bool new_file_private(Job& job) override;
    VersionValue installed_version(Job& job) override;
    bool holds_the_update(Job& job) override;
    void act(Job& job, const Write& write, Directories& directories) override;
    void write(std::span<Job> jobs, FlushSchedule schedule, const StepProgress& progress) override;
    void commit(std::span<Job> jobs, FlushSchedule schedule) override;

  private:
    // Whether the jobs may take their next step: not once the run lost its
    // lock, nor once a stopping signal waits. Fails every active job
    // otherwise; their files stay old or marked.
    bool may_go_on(std::span<Job> jobs);
    // The same within a step, asked again once CHECK_SPAN bytes were written
    // since it was last asked: a step of many small files asks a few times,
    // not once a file.
    bool may_go_on_after(std::span<Job> jobs, off_t written);

    InstallSettings settings_;
    StillLocked still_locked_;
    off_t unchecked_ = 0;  // bytes written since may_go_on was last asked
    bool stopped_ = false; // what it answered: the step goes no further
};

// Whether a file that the install would make would be one that only root
// reads: its mode less the umask, no default ACL where it would be made.
bool new_file_stays_private(const Target& target, Levels levels);

// Whether a file of length bytes would pass the file-size limit: a limit
// below the update's length would stop the copy halfway.
Failure within_file_size_limit(off_t length, rlim_t limit);
