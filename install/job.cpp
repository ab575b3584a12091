#include "job.h"

#include "io.h"

void end_job(Job& job, const Failure& failure) {
    job.result.failure = failure;
    end_job(job, Outcome::failed);
}

namespace {

// The new first sector may be on its way: a failed copy gets the mark back,
// so that the next run does not take it as current.
void put_the_mark_back(OpenForWriting& file) {
    if (write_all_at(file.file.get(), MARK, 0) == 0)
        (void)flush_data(file.file.get());
}

// Closes the file written; a close that fails fails the job.
void close_written(Job& job, OpenForWriting& file, Outcome& outcome) {
    const int error = close_checked(file.file);
    if (error != 0 && outcome != Outcome::failed) {
        job.result.failure = {Step::close, error, Problem::none};
        outcome = Outcome::failed;
    }
}

} // namespace

void end_job(Job& job, Outcome outcome) {
    Target& target = job.target;
    if (OpenForWriting* writing = target.writing()) {
        if (job.committing && outcome == Outcome::failed && writing->origin == Origin::found)
            put_the_mark_back(*writing);
        if (writing->file.valid() && writing->origin != Origin::unnamed)
            close_written(job, *writing, outcome);
        // A failed job's new file is removed (or, unnamed, never shows); the
        // directories it made stay.
        if (outcome == Outcome::failed && writing->is_new()) {
            remove_created(target);
            job.result.changed = target.made_in.valid();
        }
    }
    job.gate.reset();
    target.file = NoCopy{};
    target.made_in.reset();
    job.result.outcome = outcome;
    job.state = JobState::ended;
}
