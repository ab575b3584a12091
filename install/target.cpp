#include "target.h"

#include "io.h"
#include "resolve.h"

#include <algorithm>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

bool is_link_at(int dir, const char* name) {
    struct stat status {};
    return fstatat(dir, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode);
}

} // namespace

int Directories::open(const std::string& path, int& error) {
    if (const auto found = open_.find(path); found != open_.end()) {
        error = 0;
        return found->second.get();
    }
    Resolved found = resolve(AT_FDCWD, path, Links::any, O_RDONLY | O_DIRECTORY);
    error = found.error;
    // A directory that is missing now may be made by an earlier file.
    if (!found.fd.valid())
        return -1;
    return open_.emplace(path, std::move(found.fd)).first->second.get();
}

int Directories::keep(const std::string& path, UniqueFd directory) {
    UniqueFd& kept = open_[path];
    kept = std::move(directory);
    return kept.get();
}

bool leaves_the_root(std::string_view relative) {
    int depth = 0;
    for (std::size_t start = 0; start <= relative.size();) {
        const std::size_t end = std::min(relative.find('/', start), relative.size());
        const std::string_view name = relative.substr(start, end - start);
        if (name == "..")
            --depth;
        else if (!name.empty() && name != ".")
            ++depth;
        if (depth < 0)
            return true;
        start = end + 1;
    }
    return false;
}

bool form_destination(std::string_view relative, Target& target) {
    if (DICTIONARY_ROOT.size() + 1 + relative.size() >= target.destination.size())
        return false;
    char* end =
        std::copy(DICTIONARY_ROOT.begin(), DICTIONARY_ROOT.end(), target.destination.data());
    *end++ = '/';
    end = std::copy(relative.begin(), relative.end(), end);
    *end = '\0';
    const std::string_view destination(target.destination.data(),
                                       static_cast<std::size_t>(end - target.destination.data()));
    target.leaf = destination.rfind('/') + 1;
    return true;
}

void look_up_target(Directories& directories, Target& target) {
    target.directory = directories.open(target.directory_path(), target.directory_error);
    if (target.directory < 0)
        return;
    Resolved located = resolve(target.directory, target.name(), Links::any, O_PATH);
    if (!located.fd.valid()) {
        target.dangling = located.error == ENOENT && is_link_at(target.directory, target.name());
        return;
    }
    target.located = std::move(located.fd);
    target.existed = status_of(target.located.get(), target.status) == 0;
}

UniqueFd open_for_gate(const Target& target, bool read_only) {
    Opened opened =
        open_regular(target.located.get(), {target.directory, target.name(), Links::any},
                     read_only ? O_RDONLY : O_RDWR, &target.status);
    return std::move(opened.fd);
}

Existing missing_directories(const Target& target, bool all_levels) {
    Existing existing;
    if (target.directory >= 0 || target.directory_error != ENOENT) {
        existing.error = target.directory_error;
        return existing;
    }
    existing = deepest_existing(target.directory_path());
    // Without all_levels only the file's own directory is made: a missing
    // level above it is what a mkdir of that directory would meet.
    if (existing.error == 0 && !all_levels && existing.missing.find('/') != std::string::npos) {
        existing.directory.reset();
        existing.error = ENOENT;
    }
    return existing;
}

int make_target_directories(Directories& directories, Target& target, bool all_levels) {
    if (target.directory >= 0)
        return 0;
    Existing existing = missing_directories(target, all_levels);
    if (existing.error != 0)
        return existing.error;
    Made made = make_levels(std::move(existing.directory), existing.missing, NEW_DIRECTORY_MODE);
    if (made.error != 0)
        return made.error;
    target.made_parent = made.made_in.valid();
    target.made_in = std::move(made.made_in);
    target.directory = directories.keep(target.directory_path(), std::move(made.directory));
    return 0;
}

Failure open_target(Target& target) {
    constexpr int flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const auto failed = [](int error, Problem problem = Problem::none) {
        return Failure{Step::open_target, error, problem};
    };
    if (!target.existed) {
        target.file = UniqueFd(
            openat(target.directory, target.name(), flags | O_CREAT | O_EXCL, NEW_FILE_MODE));
        if (target.file.valid()) {
            target.created = true;
            if (const int error = status_of(target.file.get(), target.status)) {
                remove_created(target);
                return failed(error);
            }
            return {};
        }
        if (errno != EEXIST)
            return failed(last_error());
        // Made by another process meanwhile.
        target.existed = true;
        target.located = UniqueFd(openat(target.directory, target.name(), O_PATH | O_CLOEXEC));
        if (!target.located.valid())
            return failed(last_error());
    }
    // What the lookup found of a copy that existed then.
    const struct stat seen = target.status;
    Opened opened = open_regular(target.located.get(),
                                 {target.directory, target.name(), Links::any}, O_WRONLY, &seen);
    target.located.reset();
    if (opened.not_regular)
        return failed(0, Problem::not_regular);
    if (!opened.fd.valid())
        return failed(opened.error);
    target.file = std::move(opened.fd);
    target.status = opened.status;
    return {};
}

int write_error(const Target& target, int fd) {
    if (const int error = access_error(target.directory, target.name(), W_OK))
        return error;
    int flags = 0;
    if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
        (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0)
        return EPERM;
    return 0;
}

void remove_created(Target& target) {
    target.file.reset();
    if (target.created)
        (void)unlinkat(target.directory, target.name(), 0);
    target.created = false;
}

int flush_new_entries(const Target& target) {
    if (!target.created)
        return 0;
    if (const int error = flush_file(target.directory))
        return error;
    return target.made_in.valid() ? flush_file(target.made_in.get()) : 0;
}
