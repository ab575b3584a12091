// The real run's world: the installed files on disk, and the steps that
// write them.
#pragma once

#include "world.h"

class DiskWorld final : public World {
  public:
    explicit DiskWorld(const InstallSettings& settings) : settings_(settings) {}

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
    InstallSettings settings_;
};

// Whether a file that the install would make would be one that only root
// reads: its mode less the umask, no default ACL where it would be made.
bool new_file_stays_private(const Target& target, Levels levels);

// Whether a file of length bytes would pass the file-size limit: a limit
// below the update's length would stop the copy halfway.
Failure within_file_size_limit(off_t length, rlim_t limit);
