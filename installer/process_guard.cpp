#include "process_guard.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

bool open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is the closed one.
        if (open("/dev/null", O_RDWR) != fd)
            return false;
    }
    return true;
}

void ignore_write_signals() {
    (void)signal(SIGPIPE, SIG_IGN);
    (void)signal(SIGXFSZ, SIG_IGN);
}

namespace {

sigset_t stopping_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&set, signal_number);
    return set;
}

} // namespace

void hold_signals() {
    const sigset_t set = stopping_signals();
    (void)sigprocmask(SIG_BLOCK, &set, nullptr);
}

void release_signals() {
    const sigset_t set = stopping_signals();
    (void)sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

RunLock take_run_lock(const LockWait& wait) {
    // flock works on a descriptor opened for reading, so the file is trusted
    // only when no other user can open it; no link is followed and no FIFO
    // waited on.
    const int fd =
        open(RUN_LOCK_PATH, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return RunLock::gone_without;
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != 0 ||
        (status.st_mode & 077) != 0) {
        close(fd);
        return RunLock::gone_without;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return RunLock::taken;
    if (wait.waiting)
        wait.waiting();
    if (wait.seconds < 0) {
        while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        return RunLock::taken;
    }
    // A waiting flock cannot be given a time limit; asking twenty times a
    // second costs nothing beside an install.
    constexpr long POLL_NS = 50000000;
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return RunLock::taken;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const double waited = static_cast<double>(now.tv_sec - start.tv_sec) +
                              static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
        if (waited >= wait.seconds) {
            close(fd);
            return RunLock::given_up;
        }
        const timespec pause{0, POLL_NS};
        nanosleep(&pause, nullptr);
    }
}
