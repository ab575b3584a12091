#include "target.h"

#include "io.h"
#include "space.h"
#include "tree_path.h"

#include <algorithm>
#include <fcntl.h>
#include <functional>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

bool is_link_at(int dir, const char* name) {
    struct stat status {};
    return fstatat(dir, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode);
}

} // namespace

DirectoryState Directories::open(const std::string& path) {
    if (const auto found = open_.find(path); found != open_.end())
        return found->second.open;
    Resolved found = resolve({AT_FDCWD, path, Walk::system, O_RDONLY | O_DIRECTORY});
    // A directory that is missing now may be made by an earlier file.
    if (!found.ok())
        return DirectoryMissing{found.error()};
    return keep(path, found.take());
}

DirectoryOpen Directories::keep(const std::string& path, UniqueFd directory) {
    Kept& kept = open_[path];
    kept.fd = std::move(directory);
    kept.open = {kept.fd.get()};
    struct stat status {};
    if (status_of(kept.fd.get(), status) == 0)
        kept.open = {kept.fd.get(), status.st_dev, status.st_ino};
    return kept.open;
}

bool leaves_the_root(std::string_view relative) {
    int depth = 0;
    return !for_each_component(relative, [&depth](std::string_view name, std::string_view) {
        if (name == "..")
            --depth;
        else if (!name.empty() && name != ".")
            ++depth;
        return depth >= 0;
    });
}

bool Destination::form(std::string_view relative) {
    if (DICTIONARY_ROOT.size() + 1 + relative.size() >= path_.size())
        return false;
    char* end = std::copy(DICTIONARY_ROOT.begin(), DICTIONARY_ROOT.end(), path_.data());
    *end++ = '/';
    end = std::copy(relative.begin(), relative.end(), end);
    *end = '\0';
    const std::string_view whole(path_.data(), static_cast<std::size_t>(end - path_.data()));
    leaf_ = whole.rfind('/') + 1;
    return true;
}

void look_up_target(Directories& directories, Target& target) {
    const Destination& destination = target.destination;
    target.directory = directories.open(destination.directory_path());
    const DirectoryOpen* directory = target.open_directory();
    target.file = NoCopy{};
    if (directory == nullptr)
        return;
    Resolved located = resolve({directory->fd, destination.name(), Walk::system, O_PATH});
    if (!located.ok()) {
        target.file =
            NoCopy{located.error() == ENOENT && is_link_at(directory->fd, destination.name())};
        return;
    }
    CopyFound found{located.take(), {}};
    if (status_of(found.located.get(), found.status) == 0)
        target.file = std::move(found);
}

UniqueFd open_for_gate(const Target& target, GateAccess access) {
    const CopyFound* found = target.found();
    const DirectoryOpen* directory = target.open_directory();
    if (found == nullptr || directory == nullptr)
        return {};
    const int flags = access == GateAccess::read_only ? O_RDONLY : O_RDWR;
    return open_regular(found->located.get(), found->status,
                        {directory->fd, target.destination.name(), Walk::system, flags})
        .fd;
}

Resolved missing_directories(const Target& target, Levels levels) {
    if (const auto* missing = std::get_if<DirectoryMissing>(&target.directory);
        missing == nullptr || missing->error != ENOENT)
        return ResolveError{missing != nullptr ? missing->error : 0, false, {}};
    const std::string path = target.destination.directory_path();
    Resolved reached = resolve({AT_FDCWD, path, Walk::stop_at_missing, O_RDONLY | O_DIRECTORY});
    // With own_directory only the file's own directory is made: a missing
    // level above it is what a mkdir of that directory would meet.
    if (reached.ok() && levels == Levels::own_directory &&
        reached.reached().missing.find('/') != std::string::npos)
        return ResolveError{ENOENT, false, {}};
    return reached;
}

int make_target_directories(Directories& directories, Target& target, Levels levels) {
    if (target.open_directory() != nullptr)
        return 0;
    Resolved existing = missing_directories(target, levels);
    if (!existing.ok())
        return existing.error();
    const std::string missing = existing.reached().missing;
    UniqueFd deepest = existing.take();
    Resolved made = resolve(
        {deepest.get(), missing, Walk::make_missing, O_RDONLY | O_DIRECTORY, NEW_DIRECTORY_MODE});
    if (!made.ok())
        return made.error();
    target.made_in = std::move(made.reached().made_in);
    target.directory = directories.keep(target.destination.directory_path(), made.take());
    return 0;
}

namespace {

Failure open_failure(int error, Problem problem = Problem::none) {
    return {Step::open_target, error, problem};
}

// A new file without a name: no one else can have it, so its status is
// known without asking. It lies on its directory's file system, holds
// nothing, and its mode is asked for only where it must be root's alone.
struct stat unnamed_status(const DirectoryOpen& directory) {
    struct stat status {};
    status.st_mode = S_IFREG;
    status.st_dev = directory.device;
    return status;
}

// A new file, unnamed until its commit, or where the file system cannot
// make one, made under its name with O_EXCL: only a file that this open
// made is ours.
Failure create_target(Target& target, const DirectoryOpen& directory) {
    constexpr int flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    OpenForWriting made;
    made.origin = Origin::unnamed;
    made.file = UniqueFd(openat(directory.fd, ".", O_TMPFILE | flags, NEW_FILE_MODE));
    if (made.file.valid() && directory.inode != 0) {
        made.status = unnamed_status(directory);
        target.file = std::move(made);
        return {};
    }
    if (!made.file.valid()) {
        const int error = last_error();
        if (error != EOPNOTSUPP && error != EISDIR && error != EINVAL)
            return open_failure(error);
        made.origin = Origin::created;
        made.file = UniqueFd(openat(directory.fd, target.destination.name(),
                                    flags | O_CREAT | O_EXCL, NEW_FILE_MODE));
        if (!made.file.valid())
            return open_failure(last_error());
    }
    const int error = status_of(made.file.get(), made.status);
    target.file = std::move(made);
    if (error != 0) {
        remove_created(target);
        return open_failure(error);
    }
    return {};
}

} // namespace

Failure open_target(Target& target) {
    const DirectoryOpen* directory = target.open_directory();
    if (directory == nullptr)
        return open_failure(ENOENT);
    if (target.found() == nullptr) {
        const Failure created = create_target(target, *directory);
        if (!created.failed() || created.error != EEXIST)
            return created;
        // Made by another process meanwhile.
        Resolved located =
            resolve({directory->fd, target.destination.name(), Walk::system, O_PATH});
        if (!located.ok())
            return open_failure(located.error());
        CopyFound made{located.take(), {}};
        if (const int error = status_of(made.located.get(), made.status))
            return open_failure(error);
        target.file = std::move(made);
    }
    const CopyFound& found = *target.found();
    Opened opened =
        open_regular(found.located.get(), found.status,
                     {directory->fd, target.destination.name(), Walk::system, O_WRONLY});
    if (opened.not_regular)
        return open_failure(0, Problem::not_regular);
    if (!opened.fd.valid())
        return open_failure(opened.error);
    target.file = OpenForWriting{std::move(opened.fd), opened.status, Origin::found};
    return {};
}

int link_into_place(Target& target) {
    OpenForWriting* writing = target.writing();
    const DirectoryOpen* directory = target.open_directory();
    if (writing == nullptr || directory == nullptr)
        return ENOENT;
    if (linkat(writing->file.get(), "", directory->fd, target.destination.name(), AT_EMPTY_PATH) !=
        0)
        return last_error();
    writing->origin = Origin::created;
    return 0;
}

int write_error(const Target& target, int fd) {
    const DirectoryOpen* directory = target.open_directory();
    if (directory == nullptr)
        return ENOENT;
    if (const int error = access_error(directory->fd, target.destination.name(), W_OK))
        return error;
    int flags = 0;
    if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
        (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0)
        return EPERM;
    return 0;
}

void remove_created(Target& target) {
    OpenForWriting* writing = target.writing();
    if (writing == nullptr || !writing->is_new())
        return;
    writing->file.reset();
    const bool named = writing->origin == Origin::created;
    writing->origin = Origin::found;
    const DirectoryOpen* directory = target.open_directory();
    if (named && directory != nullptr)
        (void)unlinkat(directory->fd, target.destination.name(), 0);
}

int flush_new_entries(const Target& target) {
    const OpenForWriting* writing = target.writing();
    const DirectoryOpen* directory = target.open_directory();
    if (writing == nullptr || !writing->is_new() || directory == nullptr)
        return 0;
    if (const int error = flush_file(directory->fd))
        return error;
    return target.made_in.valid() ? flush_file(target.made_in.get()) : 0;
}

std::size_t PlaceHash::operator()(const Place& place) const {
    return std::hash<std::string>()(place.below) ^ (std::hash<ino_t>()(place.inode) * 31) ^
           (std::hash<dev_t>()(place.device) * 131);
}

namespace {

std::string joined(const std::string& directory, const char* name) {
    return directory.empty() ? std::string(name) : directory + "/" + name;
}

} // namespace

namespace {

PlaceOnDisk on(int fd, Place place) {
    PlaceOnDisk found{std::move(place), std::nullopt};
    struct statfs fs {};
    if (file_system_of(fd, fs) == 0)
        found.file_system = fs;
    return found;
}

} // namespace

namespace {

// The file system that the dictionary lies on, asked at its root or the
// deepest directory of it that exists.
std::optional<struct statfs> dictionary_file_system() {
    Resolved root = resolve(
        {AT_FDCWD, std::string(DICTIONARY_ROOT), Walk::stop_at_missing, O_RDONLY | O_DIRECTORY});
    const UniqueFd nearest = root.take();
    struct statfs fs {};
    if (!nearest.valid() || file_system_of(nearest.get(), fs) != 0)
        return std::nullopt;
    return fs;
}

} // namespace

std::optional<off_t> dictionary_free_space() {
    const std::optional<struct statfs> fs = dictionary_file_system();
    return fs ? std::optional<off_t>(free_space(*fs)) : std::nullopt;
}

std::optional<off_t> dictionary_file_system_size() {
    const std::optional<struct statfs> fs = dictionary_file_system();
    if (!fs)
        return std::nullopt;
    return static_cast<off_t>(fs->f_blocks) * static_cast<off_t>(fs->f_frsize);
}

std::optional<Place> place_in_directory(const Target& target) {
    const DirectoryOpen* directory = target.open_directory();
    if (directory == nullptr || directory->inode == 0)
        return std::nullopt;
    return Place{directory->device, directory->inode, target.destination.name()};
}

PlaceOnDisk place_of(const Target& target) {
    const char* name = target.destination.name();
    struct stat status {};
    if (const CopyFound* found = target.found())
        return on(found->located.get(), {found->status.st_dev, found->status.st_ino, ""});
    if (std::optional<Place> place = place_in_directory(target))
        return on(target.open_directory()->fd, std::move(*place));
    Resolved existing = resolve({AT_FDCWD, target.destination.directory_path(),
                                 Walk::stop_at_missing, O_RDONLY | O_DIRECTORY});
    if (existing.ok()) {
        const std::string missing = existing.reached().missing;
        const UniqueFd nearest = existing.take();
        if (status_of(nearest.get(), status) == 0)
            return on(nearest.get(), {status.st_dev, status.st_ino, joined(missing, name)});
    }
    return {{0, 0, target.destination.path()}, std::nullopt};
}
