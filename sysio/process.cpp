#include "process.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

sigset_t stopping_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : STOPPING_SIGNALS)
        sigaddset(&set, signal_number);
    return set;
}

} // namespace

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

void ignore_lease_breaks() {
    (void)signal(SIGIO, SIG_IGN);
}

namespace {
// Whether the main thread holds them: a run asks once a file, one call does.
bool signals_held = false; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
} // namespace

void hold_signals() {
    if (signals_held)
        return;
    const sigset_t set = stopping_signals();
    signals_held = sigprocmask(SIG_BLOCK, &set, nullptr) == 0;
}

bool stop_pending() {
    sigset_t pending;
    sigemptyset(&pending);
    if (sigpending(&pending) != 0)
        return false;
    return std::ranges::any_of(STOPPING_SIGNALS, [&pending](int signal_number) {
        return sigismember(&pending, signal_number) == 1;
    });
}

void release_signals() {
    const sigset_t set = stopping_signals();
    (void)sigprocmask(SIG_UNBLOCK, &set, nullptr);
    signals_held = false;
}
