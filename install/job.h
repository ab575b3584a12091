// One file's install between its steps: the update it reads, the installed
// file it writes, and how far it has come.
#pragma once

#include "dry_run.h"
#include "mark.h"
#include "outcome.h"
#include "source.h"
#include "target.h"

#include <cstddef>
#include <optional>

enum class JobState {
    looked_up, // the update is open and the installed file looked up; nothing decided yet
    writing,   // planned: the installed file is open for writing, the steps are to come
    ended,     // its result is final, and nothing of it is open
};

struct InstallJob {
    UpdateSource* update = nullptr; // owned by the caller, closed when the job ends
    Target target;
    JobState state = JobState::ended;
    InstallResult result;
    bool decode = false;     // the installed file's name says that its update is encoded
    bool committing = false; // the write of the new first sector began
    Sector first_sector{};   // the new header's sector, written last
    std::size_t first_sector_size = 0;
    // In a dry run: where the installed file is or would be made, and what
    // an earlier file of the run would have written there, which the plan
    // then takes instead of the copy (with that file's update, to compare).
    std::optional<DryPlace> dry_place;
    std::optional<DryWrite> assumed;
    UpdateSource* assumed_update = nullptr;

    // Writing, and nothing has gone wrong so far.
    [[nodiscard]] bool active() const {
        return state == JobState::writing && !result.failure.failed();
    }
    // The installed file's identity, once known.
    [[nodiscard]] bool identified() const { return target.existed || state == JobState::writing; }
    [[nodiscard]] dev_t device() const { return target.status.st_dev; }
};
