#include "run_lock.h"

#include "fd.h"
#include "io.h"
#include "resolve.h"

#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>

namespace {

// Where a lock file that others could open is replaced from: a file that
// only root can open, so that only runs wait for it.
constexpr char NEW_LOCK_PATH[] = "/run/vora-dict-update.lock.new";

// As many lock files as a run takes in turn before it gives up: each
// replacement is another run's, which ends with a lock file of root's alone.
constexpr int MOST_TRIES = 100;

RunLock refused(std::string why) {
    return {LockState::refused, std::move(why)};
}

std::string reason(int error) {
    return error == ELOOP ? "a symbolic link" : std::strerror(error);
}

RunLock refused_error(int error) {
    return refused(reason(error));
}

double seconds_since(const timespec& start) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) +
           static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

// Opens path as a lock file: a regular file of root's. Its status is left
// in status; why is set when it may not be used.
UniqueFd open_lock_file(const char* path, int flags, struct stat& status, std::string& why) {
    // No link is followed and no FIFO waited on.
    Resolved opened =
        resolve({AT_FDCWD, path, Walk::system, flags | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0600});
    UniqueFd fd = opened.take();
    if (!fd.valid()) {
        why = reason(opened.error());
        return fd;
    }
    if (const int error = status_of(fd.get(), status))
        why = std::strerror(error);
    else if (!S_ISREG(status.st_mode))
        why = "not a regular file";
    else if (status.st_uid != 0)
        why = "another user's file";
    if (!why.empty())
        fd.reset();
    return fd;
}

// Waits for an exclusive lock on fd as wait says: taken, given up, or the
// flock's error.
RunLock wait_for(int fd, const LockWait& wait, bool& told) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return LockState::taken;
    if (errno != EWOULDBLOCK)
        return refused_error(last_error());
    if (!told && wait.waiting)
        wait.waiting();
    told = true;
    if (wait.seconds < 0) {
        if (retry_eintr([fd] { return flock(fd, LOCK_EX); }) == 0)
            return LockState::taken;
        return refused_error(last_error());
    }
    // A waiting flock cannot be given a time limit; asking twenty times a
    // second costs nothing beside an install.
    constexpr long POLL_NS = 50000000;
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return LockState::taken;
        if (errno != EWOULDBLOCK)
            return refused_error(last_error());
        if (seconds_since(start) >= wait.seconds)
            return LockState::given_up;
        const timespec pause{0, POLL_NS};
        nanosleep(&pause, nullptr);
    }
}

// Whether path still names the file open as fd, a regular file of root's
// that no one else may open.
bool names(const char* path, int fd) {
    struct stat now {};
    struct stat held {};
    return lstat(path, &now) == 0 && status_of(fd, held) == 0 && same_file(now, held) &&
           S_ISREG(now.st_mode) && now.st_uid == 0 && (now.st_mode & 077) == 0;
}

// Puts a lock file of root's alone in the place of the one that others
// could open (found as wide). The new file is locked before it takes the
// place, and it takes it only while the place still holds the wide file:
// runs that replace at once wait for one another on NEW_LOCK_PATH, which
// only root can open. taken: this run holds the lock at the path now;
// nothing: another run replaced it first, and the run takes that file.
std::optional<RunLock> replace(const struct stat& wide, const LockWait& wait, bool& told) {
    struct stat status {};
    std::string why;
    UniqueFd next = open_lock_file(NEW_LOCK_PATH, O_RDONLY, status, why);
    if (!next.valid())
        return refused(std::string(NEW_LOCK_PATH) + ": " + why);
    if ((status.st_mode & 077) != 0)
        return refused(std::string(NEW_LOCK_PATH) + ": open to other users");
    RunLock locked = wait_for(next.get(), wait, told);
    if (locked.state() != LockState::taken)
        return locked;
    struct stat there {};
    if (lstat(RUN_LOCK_PATH, &there) != 0 || !same_file(there, wide))
        return std::nullopt;
    if (rename(NEW_LOCK_PATH, RUN_LOCK_PATH) != 0)
        return refused_error(last_error());
    return RunLock(std::move(next));
}

} // namespace

RunLock take_run_lock(const LockWait& wait) {
    bool told = false;
    for (int tries = 0; tries < MOST_TRIES; ++tries) {
        struct stat status {};
        std::string why;
        UniqueFd fd = open_lock_file(RUN_LOCK_PATH, O_RDONLY, status, why);
        if (!fd.valid())
            return refused(why);
        if ((status.st_mode & 077) != 0) {
            if (std::optional<RunLock> replaced = replace(status, wait, told))
                return std::move(*replaced);
            continue;
        }
        RunLock locked = wait_for(fd.get(), wait, told);
        if (locked.state() != LockState::taken)
            return locked;
        // A lock file removed or replaced meanwhile locks nothing: the run
        // takes the one that the path names now.
        if (names(RUN_LOCK_PATH, fd.get()))
            return {std::move(fd)};
    }
    return refused("replaced over and over");
}

bool RunLock::still_held() const {
    return held_.valid() && names(RUN_LOCK_PATH, held_.get());
}
