#include "dry_run.h"

#include "disk.h"
#include "gate.h"
#include "io.h"
#include "space.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

Failure plan_failure(int error) {
    return {Step::plan, error, Problem::none};
}

// Each level of below, from the first: "a", "a/b", "a/b/c".
template <typename Visit>
void for_each_level(const std::string& below, Visit visit) {
    for (std::size_t slash = below.find('/');; slash = below.find('/', slash + 1)) {
        visit(below.substr(0, slash));
        if (slash == std::string::npos)
            return;
    }
}

// Reads what is left of the update, as the body step would, so that a
// damaged source fails as it would and the digest of a source read once
// is known.
Failure read_to_the_end(UpdateSource& update) {
    static std::array<unsigned char, CHUNK_SIZE> chunk;
    for (;;) {
        const IoResult got = update.read(chunk);
        if (got.error != 0)
            return {Step::body, got.error, Problem::none};
        if (got.count < chunk.size())
            return {};
    }
}

// The digest of all the update's bytes: a source that is read once is read
// to its end first (a dry run writes nothing with them).
std::optional<Sha256> digest_of_all(UpdateSource& update) {
    if (std::optional<Sha256> digest = update.digest())
        return digest;
    if (read_to_the_end(update).failed())
        return std::nullopt;
    return update.digest();
}

} // namespace

DryRun::Key DryRun::key_of(const Place& place) {
    Sha256Stream stream;
    stream.add({reinterpret_cast<const unsigned char*>(place.below.data()), place.below.size()});
    Sha256 digest{};
    (void)stream.finish(digest);
    Key key{place.device, place.inode, {}};
    std::copy_n(digest.begin(), key.below.size(), key.below.begin());
    return key;
}

std::size_t DryRun::KeyHash::operator()(const Key& key) const {
    std::size_t hash = 0;
    std::memcpy(&hash, key.below.data(), sizeof hash);
    return hash ^ (key.inode * 31) ^ (key.device * 131);
}

void DryRun::look_up(Job& job, Directories& directories) {
    look_up_target(directories, job.target);
    job.result.installed = job.target.found() != nullptr ? Installed::present : Installed::absent;
    job.gate = open_for_gate(job.target, rules_of(settings_.profile).gate);
    job.place = place_of(job.target);
    // A file that an earlier file of the run would have made stands there by then.
    if (const auto found = writes_.find(key_of(job.place->place)); found != writes_.end()) {
        job.assumed = found->second;
        job.result.installed = Installed::present;
    }
}

Place DryRun::place(Job& job) {
    return job.place->place;
}

bool DryRun::copy_present(const Job& job) const {
    return job.target.found() != nullptr || job.assumed.has_value();
}

bool DryRun::copy_only_root_reads(Job& job) {
    const CopyFound* found = job.target.found();
    if (found == nullptr)
        return new_file_private(job); // as an earlier file would have made it
    return !S_ISREG(found->status.st_mode) || only_root_reads(found->status, job.gate.get());
}

bool DryRun::new_file_private(Job& job) {
    return new_file_stays_private(job.target, rules_of(settings_.profile).levels);
}

VersionValue DryRun::installed_version(Job& job) {
    VersionText& text = job.result.texts.installed_text;
    text[0] = '\0';
    if (!job.assumed)
        return job.gate.valid() ? ::installed_version(job.gate.get(), text) : 0;
    text = job.assumed->version;
    std::array<char, VERSION_DIGITS_SIZE> digits{};
    VersionText copy{};
    return parse_version_token(text.data(), copy, digits);
}

bool DryRun::holds_the_update(Job& job) {
    const Decoding decoding = decoding_of(job.target.destination.path());
    if (!job.assumed) {
        const CopyFound* found = job.target.found();
        if (found == nullptr || !job.gate.valid() || found->status.st_size != job.update->length())
            return false;
        const Comparison compared = job.update->compare_with(job.gate.get(), decoding);
        job.in_place = compared.in_place;
        return compared.same;
    }
    const DryWrite& earlier = *job.assumed;
    if (earlier.length != job.update->length() || earlier.decoding != decoding || !earlier.digest)
        return false;
    const std::optional<Sha256> digest = digest_of_all(*job.update);
    return digest && *digest == *earlier.digest;
}

int DryRun::make_directories(Job& job) {
    Target& target = job.target;
    if (const DirectoryOpen* directory = target.open_directory())
        return access_error(directory->fd, ".", W_OK | X_OK);
    Resolved existing = missing_directories(target, rules_of(settings_.profile).levels);
    if (!existing.ok())
        return existing.error();
    struct stat status {};
    if (const int error = status_of(existing.reached().fd.get(), status))
        return error;
    const std::string& missing = existing.reached().missing;
    const auto made = [&](const std::string& below) {
        return directories_.contains(key_of({status.st_dev, status.st_ino, below}));
    };
    // An earlier file would have made the whole way, or part of it: the rest
    // would be made in a directory of the run's own.
    if (made(missing))
        return 0;
    if (!made(missing.substr(0, missing.find('/')))) {
        if (const int error = access_error(existing.reached().fd.get(), ".", W_OK | X_OK))
            return error;
    }
    for_each_level(missing, [&](const std::string& level) {
        directories_.insert(key_of({status.st_dev, status.st_ino, level}));
    });
    job.result.changed = true;
    return 0;
}

void DryRun::act(Job& job, const Write& write, Directories& /*directories*/) {
    Target& target = job.target;
    if (target.found() == nullptr && !job.assumed) {
        if (const int error = make_directories(job))
            return end_job(job, plan_failure(error));
    }
    if (const Failure too_long =
            within_file_size_limit(job.update->length(), settings_.file_size_limit);
        too_long.failed())
        return end_job(job, too_long);
    if (target.found() != nullptr) {
        if (const int error = write_error(target, job.gate.get()))
            return end_job(job, plan_failure(error));
    }
    job.gate.reset();
    job.decoding = decoding_of(target.destination.path());
    job.state = JobState::planned;
    if (write.version_later)
        (void)update_version(*job.update, decoding_of(target.destination.relative_path()),
                             job.result.texts.update_text);
}

Failure DryRun::take_space(const Job& job) {
    if (!job.place->file_system)
        return {};
    const struct statfs& fs = *job.place->file_system;
    FreeSpace& space =
        free_.try_emplace(job.place->place.device, FreeSpace{free_space(fs), 0, SIZE_MAX})
            .first->second;
    if (space.batch != batch_)
        space = FreeSpace{space.left, space.left, batch_};
    // The blocks that the copy would hold by then.
    const CopyFound* found = job.target.found();
    const blkcnt_t blocks = job.assumed        ? allocated(job.assumed->length, fs) / 512
                            : found != nullptr ? found->status.st_blocks
                                               : 0;
    const off_t length = job.update->length();
    const off_t needed = space_needed(length, blocks, fs);
    if (needed > space.batch_left)
        return {Step::space, ENOSPC, Problem::none};
    space.batch_left -= needed;
    space.left -= allocated(length, fs) - blocks * 512;
    return {};
}

void DryRun::write(std::span<Job> jobs, FlushSchedule /*schedule*/,
                   const StepProgress& /*progress*/) {
    for (Job& job : jobs) {
        if (job.state != JobState::planned)
            continue;
        if (const Failure no_space = take_space(job); no_space.failed()) {
            end_job(job, no_space);
            continue;
        }
        job.result.changed = true;
        std::optional<Sha256> digest = job.update->digest();
        if (!digest) {
            if (const Failure unread = read_to_the_end(*job.update); unread.failed()) {
                end_job(job, unread);
                continue;
            }
            digest = job.update->digest();
        }
        writes_[key_of(job.place->place)] = {job.result.texts.update_text, job.update->length(),
                                             job.decoding, digest,
                                             job.target.found() == nullptr && !job.assumed};
    }
}

void DryRun::commit(std::span<Job> jobs, FlushSchedule /*schedule*/) {
    for (Job& job : jobs)
        if (job.state == JobState::planned)
            end_job(job, job.target.found() != nullptr || job.assumed ? Outcome::updated
                                                                      : Outcome::added);
}
