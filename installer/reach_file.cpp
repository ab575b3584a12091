#include "reach_file.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/openat2.h>
#include <string>
#include <string_view>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The components of path one at a time, each directory opened without
// following a link, for kernels without openat2. "..", an absolute path and
// a link anywhere are refused as openat2 would refuse them.
int open_by_components(int top, std::string_view path, int flags) {
    int dir = top;
    for (;;) {
        const std::size_t slash = path.find('/');
        const std::string name(path.substr(0, slash));
        const bool last = slash == std::string_view::npos;
        int next = -1;
        if (name == ".." || (dir == top && path.starts_with('/')))
            errno = EXDEV;
        else if (last)
            next = openat(dir, name.empty() ? "." : name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
        else
            next = openat(dir, name.empty() ? "." : name.c_str(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        // O_DIRECTORY meets a link before O_NOFOLLOW does: a link all the same.
        struct stat status {};
        if (next < 0 && errno == ENOTDIR &&
            fstatat(dir, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(status.st_mode))
            errno = ELOOP;
        if (dir != top)
            close_quietly(dir);
        if (next < 0 || last)
            return next;
        dir = next;
        path.remove_prefix(slash + 1);
    }
}

} // namespace

void close_quietly(int fd) {
    if (fd < 0)
        return;
    const int error = errno;
    close(fd);
    errno = error;
}

int open_beneath(int top, const char* path, int flags) {
    open_how how{};
    how.flags = static_cast<unsigned>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
    const auto fd = syscall(SYS_openat2, top, path, &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS)
        return static_cast<int>(fd);
    const int found = open_by_components(top, path, flags);
    // O_PATH with O_NOFOLLOW opens a link itself: a link all the same.
    struct stat status {};
    if (found >= 0 && (flags & O_PATH) != 0 && fstat(found, &status) == 0 &&
        S_ISLNK(status.st_mode)) {
        close(found);
        errno = ELOOP;
        return -1;
    }
    return found;
}

int locate_file(const FilePlace& place) {
    if (place.beneath)
        return open_beneath(place.dir, place.path, O_PATH);
    return openat(place.dir, place.path, O_PATH | O_CLOEXEC);
}

int open_located(int located, const FilePlace& place, int flags, struct stat& status,
                 const Problem*& problem, const struct stat* seen) {
    if (seen == nullptr && fstat(located, &status) != 0)
        return -1;
    const struct stat found = seen != nullptr ? *seen : status;
    if (!S_ISREG(found.st_mode)) {
        problem = &NOT_REGULAR;
        errno = EINVAL;
        return -1;
    }
    flags |= O_NOCTTY | O_CLOEXEC;
    std::array<char, 32> proc_path{};
    (void)std::snprintf(proc_path.data(), proc_path.size(), "/proc/self/fd/%d", located);
    // The magic link opens the very inode located, whatever its path holds
    // now; a caller that knew it already needs no second look.
    int fd = open(proc_path.data(), flags);
    if (fd >= 0 && seen != nullptr) {
        status = found;
        return fd;
    }
    if (fd < 0 && errno != ENOENT)
        return -1;
    // No /proc: the path once more, where a FIFO swapped in cannot hold the run.
    if (fd < 0)
        fd = place.beneath ? open_beneath(place.dir, place.path, flags | O_NONBLOCK)
                           : openat(place.dir, place.path, flags | O_NONBLOCK);
    if (fd < 0)
        return -1;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_dev == found.st_dev &&
        status.st_ino == found.st_ino)
        return fd;
    problem = &NOT_REGULAR;
    close_quietly(fd);
    errno = EINVAL;
    return -1;
}
