// Process-wide safeguards of an install: the standard descriptors, the
// signals that must not cut a rewrite short, and the lock that makes runs
// follow one another.
#pragma once

#include <functional>

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no file opened later can take its place. False when that fails.
bool open_standard_descriptors();

// A closed reader of standard output or a file-size limit then shows as a
// failed write (EPIPE, EFBIG) instead of killing the process.
void ignore_write_signals();

// Blocks SIGINT, SIGTERM, SIGHUP and SIGQUIT while a rewrite is under way;
// release_signals lets any that arrived take effect.
void hold_signals();
void release_signals();

// Where runs take their lock: outside the dictionary tree, in a directory
// where only root can make files.
inline constexpr char RUN_LOCK_PATH[] = "/run/vora-dict-update.lock";

// How long a run waits for the lock, and what it says meanwhile.
struct LockWait {
    double seconds = -1;           // give up after this long (0: at once); below 0: never
    std::function<void()> waiting; // called once, when another run holds the lock
};

enum class RunLock { taken, gone_without, given_up };

// Waits for an exclusive lock on RUN_LOCK_PATH, made 0600 when missing, and
// holds it until the process ends. Goes on without it when the lock file
// cannot be opened, or is anything but a regular file of root's that no
// other user may open: another user who held it could stop every run.
// given_up when wait.seconds passed while another run held it.
RunLock take_run_lock(const LockWait& wait = {});
