#include "batch.h"

namespace {

Failure plan_failure(int error, Problem problem = Problem::none) {
    return {Step::plan, error, problem};
}

// Starts a job for the update at relative; false, with the job ended, when
// that path is too long or climbs above the root: nothing was opened.
bool start(Job& job, std::string_view relative) {
    // Nothing is ever made outside the dictionary root.
    if (leaves_the_root(relative)) {
        end_job(job, plan_failure(0, Problem::leaves_dictionary));
        return false;
    }
    if (job.target.destination.form(relative))
        return true;
    end_job(job, plan_failure(ENAMETOOLONG));
    return false;
}

} // namespace

Batch::Batch(World& world, BatchLimits limits) : world_(world), limits_(limits) {
    jobs_.reserve(limits.files);
    world_.begin_batch();
}

bool Batch::full() const {
    return jobs_.size() >= limits_.files || (limits_.bytes > 0 && bytes_ >= limits_.bytes);
}

Added Batch::add_failed(const Failure& failure) {
    if (full())
        return Added::full;
    end_job(jobs_.emplace_back(), failure);
    return Added::ended;
}

Added Batch::add_failed(std::string_view relative, const Failure& failure) {
    if (full())
        return Added::full;
    Job& job = jobs_.emplace_back();
    if (start(job, relative))
        end_job(job, failure);
    return Added::ended;
}

Added Batch::add(std::string_view relative, std::unique_ptr<UpdateSource>& update) {
    if (full())
        return Added::full;
    Job& job = jobs_.emplace_back();
    if (!start(job, relative))
        return Added::ended;
    job.update = std::move(update);
    world_.look_up(job, directories_);
    if (writing_.contains(world_.place(job))) {
        update = std::move(job.update);
        jobs_.pop_back();
        return Added::full;
    }
    bytes_ += job.update->length();
    plan(job);
    if (job.state != JobState::planned)
        return Added::ended;
    writing_.insert(world_.place(job));
    return Added::planned;
}

void Batch::plan(Job& job) {
    const Decision decision = decide(job, world_);
    if (const auto* current = std::get_if<Current>(&decision)) {
        job.result.same_contents = current->same_contents;
        return end_job(job, Outcome::current);
    }
    if (const auto* refused = std::get_if<Refused>(&decision))
        return end_job(job, refused->failure);
    world_.act(job, std::get<Write>(decision), directories_);
}

void Batch::write(FlushSchedule schedule, const StepProgress& progress) {
    world_.write(jobs_, schedule, progress);
}

void Batch::commit(FlushSchedule schedule) {
    world_.commit(jobs_, schedule);
}

void Batch::clear() {
    jobs_.clear();
    directories_ = Directories();
    writing_.clear();
    bytes_ = 0;
    world_.begin_batch();
}
