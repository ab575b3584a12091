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

    InstallSettings settings_;
    StillLocked still_locked_;
};

// Whether a file that the install would make would be one that only root
// reads: its mode less the umask, no default ACL where it would be made.
bool new_file_stays_private(const Target& target, Levels levels);

// Whether a file of length bytes would pass the file-size limit: a limit
// below the update's length would stop the copy halfway.
Failure within_file_size_limit(off_t length, rlim_t limit);
