// A dry run changes nothing, yet each file must be decided as the real run
// would decide it after the files before it. So a dry run is the same
// decisions in a world that keeps account, found by key, of what the real
// run would have changed by then: the installed files it would have written
// (two paths may lead to one), the directories it would have made, and the
// free space it would have taken on each file system, batch by batch as the
// real run reads it.
#pragma once

#include "world.h"

#include <array>
#include <cstddef>
#include <map>
#include <unordered_map>
#include <unordered_set>

class DryRun final : public World {
  public:
    explicit DryRun(const InstallSettings& settings) : settings_(settings) {}

    [[nodiscard]] const InstallSettings& settings() const override { return settings_; }
    void begin_batch() override { ++batch_; }
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
    // The directories that a new file needs, decided as the real run would
    // decide them once the files before it had made theirs: the error that
    // the real run would meet, or 0.
    int make_directories(Job& job);
    // The free space that the file would take in its batch, as the real run
    // would sum it: ENOSPC when it would not fit.
    Failure take_space(const Job& job);

    struct FreeSpace {
        off_t left;       // as the real run would find it at the start of a batch
        off_t batch_left; // in this batch, as its files take it
        std::size_t batch;
    };
    // A place kept by its identity and its path's digest's first half: a
    // dry run over many files holds little for each.
    struct Key {
        dev_t device;
        ino_t inode;
        std::array<unsigned char, 16> below;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const;
    };
    static Key key_of(const Place& place);

    InstallSettings settings_;
    std::unordered_map<Key, DryWrite, KeyHash> writes_;
    std::unordered_set<Key, KeyHash> directories_; // each level that would have been made
    std::map<dev_t, FreeSpace> free_;
    std::size_t batch_ = 0;
};
