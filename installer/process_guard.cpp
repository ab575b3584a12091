#include "process_guard.h"

#include <cerrno>
#include <csignal>
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

void take_run_lock() {
    // flock works on a descriptor opened for reading, so the file is trusted
    // only when no other user can open it; no link is followed and no FIFO
    // waited on.
    const int fd =
        open(RUN_LOCK_PATH, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != 0 ||
        (status.st_mode & 077) != 0) {
        close(fd);
        return;
    }
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
}
