// The lock that makes runs follow one another.
#pragma once

#include <functional>

// Where runs take their lock: outside the dictionary tree, in a directory
// where only root can make files.
inline constexpr char RUN_LOCK_PATH[] = "/run/vora-dict-update.lock";

// How long a run waits for the lock, and what it says meanwhile.
struct LockWait {
    double seconds = -1;           // give up after this long (0: at once); below 0: never
    std::function<void()> waiting; // called once, when another run holds the lock
};

enum class LockState {
    taken,
    gone_without, // the lock file could not be trusted or used: see error
    given_up,     // wait.seconds passed while another run held it
};

struct RunLock {
    LockState state;
    int error = 0; // with gone_without: the system's reason, 0 for a file not to be trusted
};

// Waits for an exclusive lock on RUN_LOCK_PATH, made 0600 when missing, and
// holds it until the process ends. Goes on without it when the lock file
// cannot be opened, or is anything but a regular file of root's that no
// other user may open: another user who held it could stop every run.
RunLock take_run_lock(const LockWait& wait = {});
