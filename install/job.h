// One file's install between its steps: the update it reads, the installed
// file it writes, and how far it has come.
#pragma once

#include "body_copy.h"
#include "outcome.h"
#include "source.h"
#include "target.h"

#include <memory>
#include <optional>

enum class JobState {
    planned, // the installed file is open for writing, the steps are to come
    ended,   // its result is final, and nothing of it is open
};

// What an earlier file of a dry run would have left in an installed file.
struct DryWrite {
    VersionText version;
    off_t length = 0;
    Decoding decoding = Decoding::plain;
    std::optional<Sha256> digest; // of the update's bytes
    bool created = false;         // the real run would have made the file
};

struct Job {
    Target target;
    std::unique_ptr<UpdateSource> update;
    InstallResult result;
    JobState state = JobState::ended;
    Decoding decoding = Decoding::plain;
    off_t in_place = 0;      // update bytes, from the start, that the copy holds already
    FirstSector first;       // the new header, written by the commit
    bool committing = false; // the write of the new first sector began
    bool linked = false;     // an unnamed new file was given its name
    UniqueFd gate;           // the copy, open for reading while the install decides
    // In a dry run: where the file is or would be made, and what an earlier
    // file of the run would have left there.
    std::optional<PlaceOnDisk> place;
    std::optional<DryWrite> assumed;

    // Planned, and nothing has gone wrong so far.
    [[nodiscard]] bool active() const {
        return state == JobState::planned && !result.failure.failed();
    }
};

// Ends a job, whatever state it is in (the one way a job ends), with
// outcome or failure: a file that a failed job created is removed; an
// existing copy whose new header may be on its way gets the mark back.
void end_job(Job& job, Outcome outcome);
void end_job(Job& job, const Failure& failure);
