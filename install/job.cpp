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

} // namespace

void end_job(Job& job, Outcome outcome) {
    Target& target = job.target;
    OpenForWriting* writing = target.writing();
    if (writing != nullptr && job.committing && outcome == Outcome::failed && !writing->created)
        put_the_mark_back(*writing);
    if (writing != nullptr && !writing->created && writing->file.valid()) {
        const int error = close_checked(writing->file);
        if (error != 0 && outcome != Outcome::failed) {
            job.result.failure = {Step::close, error, Problem::none};
            outcome = Outcome::failed;
        }
    }
    if (writing != nullptr && writing->created) {
        // A failed job's file is removed; before the steps nothing was written to it.
        if (outcome == Outcome::failed) {
            remove_created(target);
            job.result.changed = target.made_in.valid();
        } else if (const int error = close_checked(writing->file); error != 0) {
            job.result.failure = {Step::close, error, Problem::none};
            outcome = Outcome::failed;
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
