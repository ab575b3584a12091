#include "run_lock.h"

#include "fd.h"
#include "io.h"

#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace {

double seconds_since(const timespec& start) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) +
           static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

} // namespace

RunLock take_run_lock(const LockWait& wait) {
    // flock works on a descriptor opened for reading, so the file is trusted
    // only when no other user can open it; no link is followed and no FIFO
    // waited on.
    UniqueFd fd(open(RUN_LOCK_PATH, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!fd.valid())
        return {LockState::gone_without, last_error()};
    struct stat status {};
    if (fstat(fd.get(), &status) != 0)
        return {LockState::gone_without, last_error()};
    if (!S_ISREG(status.st_mode) || status.st_uid != 0 || (status.st_mode & 077) != 0)
        return {LockState::gone_without, 0};
    const auto hold = [&fd] {
        (void)fd.release(); // held until the process ends
        return RunLock{LockState::taken};
    };
    if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0)
        return hold();
    if (errno != EWOULDBLOCK)
        return {LockState::gone_without, last_error()};
    if (wait.waiting)
        wait.waiting();
    if (wait.seconds < 0) {
        if (retry_eintr([&fd] { return flock(fd.get(), LOCK_EX); }) == 0)
            return hold();
        return {LockState::gone_without, last_error()};
    }
    // A waiting flock cannot be given a time limit; asking twenty times a
    // second costs nothing beside an install.
    constexpr long POLL_NS = 50000000;
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0)
            return hold();
        if (errno != EWOULDBLOCK)
            return {LockState::gone_without, last_error()};
        if (seconds_since(start) >= wait.seconds)
            return {LockState::given_up};
        const timespec pause{0, POLL_NS};
        nanosleep(&pause, nullptr);
    }
}
