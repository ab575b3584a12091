// A dry run changes nothing, yet each file must be decided as the real run
// would decide it after the files before it. So a dry run keeps account of
// what the real run would have changed by then: the installed files it
// would have written (two paths may lead to one), the directories it would
// have made, and the free space it would have taken on each file system,
// batch by batch as the real run reads it.
#pragma once

#include "failure.h"
#include "version_gate.h"

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <sys/statfs.h>
#include <sys/types.h>
#include <vector>

struct InstallJob;

// Where an installed file is, or would be made: an existing file by its
// identity; one that is missing by the deepest directory that exists on its
// way and the path below that directory.
struct TargetPlace {
    dev_t device = 0;
    ino_t inode = 0;
    std::string below; // empty for an existing file
    bool operator==(const TargetPlace&) const = default;
};

// A file's place, and the file system that it lies on.
struct DryPlace {
    TargetPlace place;
    std::optional<struct statfs> file_system; // unknown where nothing on the way exists
};

// What the real run would have written to an installed file.
struct DryWrite {
    TargetPlace place;
    VersionText version;     // the version that the file would hold
    std::string update_path; // the update whose bytes it would hold, relative
    bool decode;             // decoded on the way
    off_t length;
    bool created; // the real run would make the file
};

class DryRun {
  public:
    // Starts the account of the next batch: the real run reads each file
    // system's free space afresh before its writes.
    void next_batch() {
        ++batch_;
        writing_.clear();
    }

    // Whether an earlier file of this batch would be writing job's installed
    // file: the real run starts its next batch with it.
    bool written_in_this_batch(InstallJob& job);

    // Keeps that the real run would open job's installed file for writing
    // in this batch, whether or not its writes would then succeed.
    void record_writing(InstallJob& job);

    // What an earlier batch's file would have left in job's installed file.
    std::optional<DryWrite> written_before(InstallJob& job);

    // The directories that a new file needs, decided as make_target_directories
    // would decide them once the files before it had made theirs: the error
    // that the real run would meet, or 0.
    int make_directories(InstallJob& job, bool all_levels);

    // The free space that the file would take in its batch, as the real run
    // would sum it: ENOSPC when it would not fit.
    Failure take_space(InstallJob& job);

    // Keeps what the real run would write to job's installed file.
    void record_write(InstallJob& job);

  private:
    struct Room {
        off_t left;       // as the real run would find it at the start of a batch
        off_t batch_left; // in this batch, as its files take it
        std::size_t batch;
    };
    std::vector<DryWrite> writes_;
    std::vector<TargetPlace> writing_;     // in this batch
    std::vector<TargetPlace> directories_; // that would have been made
    std::map<dev_t, Room> rooms_;
    std::size_t batch_ = 0;
};
