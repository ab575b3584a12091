// Ending a job, whatever state it is in: the one way a job ends.
#include "install.h"

#include "io.h"

void end_job(InstallJob& job, const Failure& failure) {
    job.result.failure = failure;
    end_job(job, Outcome::failed);
}

void end_job(InstallJob& job, Outcome outcome) {
    Target& target = job.target;
    if (job.state == JobState::writing && job.committing) {
        // The new first sector may be on its way: a failed copy gets the
        // mark back, so that the next run does not take it as current.
        if (outcome == Outcome::failed && !target.created &&
            write_all_at(target.file.get(), MARK, 0) == 0)
            (void)flush_data(target.file.get());
    }
    if (job.update != nullptr)
        job.update->close();
    if (job.state == JobState::writing && target.file.valid()) {
        const int error = close_checked(target.file);
        if (error != 0 && outcome != Outcome::failed) {
            job.result.failure = {Step::close, error, Problem::none};
            outcome = Outcome::failed;
        }
    }
    // A failed job's file is removed; before the steps nothing was written to it.
    if (outcome == Outcome::failed && target.created) {
        remove_created(target);
        job.result.changed = target.made_parent;
    }
    target.file.reset();
    target.located.reset();
    target.made_in.reset();
    job.result.outcome = outcome;
    job.state = JobState::ended;
}
