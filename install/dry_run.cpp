#include "dry_run.h"

#include "block_encoding.h"
#include "io.h"
#include "job.h"
#include "space.h"

#include <algorithm>
#include <string_view>

namespace {

// Whether path is below or names the same directory as under, component by
// component.
bool at_or_below(std::string_view path, std::string_view under) {
    return path.starts_with(under) &&
           (path.size() == under.size() || under.empty() || path[under.size()] == '/');
}

std::string joined(const std::string& directory, const char* name) {
    return directory.empty() ? std::string(name) : directory + "/" + name;
}

// Where job's installed file is or would be made, found once a job.
const DryPlace& place_of(InstallJob& job) {
    if (job.dry_place)
        return *job.dry_place;
    const Target& target = job.target;
    DryPlace found;
    struct stat status {};
    UniqueFd deepest;
    int on_file_system = -1;
    if (target.existed) {
        found.place = {target.status.st_dev, target.status.st_ino, ""};
        on_file_system = target.located.get();
    } else if (target.directory >= 0 && status_of(target.directory, status) == 0) {
        found.place = {status.st_dev, status.st_ino, target.name()};
        on_file_system = target.directory;
    } else if (Existing existing = deepest_existing(target.directory_path());
               existing.directory.valid() && status_of(existing.directory.get(), status) == 0) {
        found.place = {status.st_dev, status.st_ino, joined(existing.missing, target.name())};
        deepest = std::move(existing.directory);
        on_file_system = deepest.get();
    } else {
        found.place.below = target.path();
    }
    struct statfs fs {};
    if (on_file_system >= 0 && file_system_of(on_file_system, fs) == 0)
        found.file_system = fs;
    return job.dry_place.emplace(std::move(found));
}

} // namespace

bool DryRun::written_in_this_batch(InstallJob& job) {
    return std::find(writing_.begin(), writing_.end(), place_of(job).place) != writing_.end();
}

void DryRun::record_writing(InstallJob& job) {
    writing_.push_back(place_of(job).place);
}

std::optional<DryWrite> DryRun::written_before(InstallJob& job) {
    const TargetPlace& place = place_of(job).place;
    const auto found = std::find_if(writes_.begin(), writes_.end(),
                                    [&](const DryWrite& write) { return write.place == place; });
    return found != writes_.end() ? std::optional(*found) : std::nullopt;
}

int DryRun::make_directories(InstallJob& job, bool all_levels) {
    Target& target = job.target;
    if (target.directory >= 0)
        return access_error(target.directory, ".", W_OK | X_OK);
    Existing existing = missing_directories(target, all_levels);
    struct stat status {};
    if (existing.error != 0)
        return existing.error;
    if (const int error = status_of(existing.directory.get(), status))
        return error;
    const TargetPlace wanted{status.st_dev, status.st_ino, existing.missing};
    const auto made = [&](const auto& covers) {
        return std::any_of(directories_.begin(), directories_.end(),
                           [&](const TargetPlace& directory) {
                               return directory.device == wanted.device &&
                                      directory.inode == wanted.inode && covers(directory.below);
                           });
    };
    // An earlier file would have made the whole way, or part of it: the rest
    // would be made in a directory of the run's own.
    if (made([&](const std::string& below) { return at_or_below(below, wanted.below); }))
        return 0;
    if (!made([&](const std::string& below) { return at_or_below(wanted.below, below); })) {
        if (const int error = access_error(existing.directory.get(), ".", W_OK | X_OK))
            return error;
    }
    directories_.push_back(wanted);
    target.made_parent = true;
    return 0;
}

Failure DryRun::take_space(InstallJob& job) {
    const DryPlace& where = place_of(job);
    if (!where.file_system)
        return {};
    const struct statfs& fs = *where.file_system;
    Room& room =
        rooms_.try_emplace(where.place.device, Room{free_space(fs), 0, SIZE_MAX}).first->second;
    if (room.batch != batch_)
        room = Room{room.left, room.left, batch_};
    // The blocks that the copy would hold by then.
    const blkcnt_t blocks = job.assumed          ? allocated(job.assumed->length, fs) / 512
                            : job.target.existed ? job.target.status.st_blocks
                                                 : 0;
    const off_t length = job.update->length();
    const off_t needed = space_needed(length, blocks, fs);
    if (needed > room.batch_left)
        return {Step::space, ENOSPC, Problem::none};
    room.batch_left -= needed;
    room.left -= allocated(length, fs) - blocks * 512;
    return {};
}

void DryRun::record_write(InstallJob& job) {
    const TargetPlace& place = place_of(job).place;
    std::erase_if(writes_, [&](const DryWrite& write) { return write.place == place; });
    const Target& target = job.target;
    writes_.push_back({place, job.result.texts.update_text, target.relative_path(),
                       is_ejd_name(target.path()), job.update->length(), !target.existed});
}
