// The lock that makes runs follow one another. No run writes without it.
#pragma once

#include "fd.h"

#include <functional>
#include <string>

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
    given_up, // wait.seconds passed while another run held it
    refused,  // the lock cannot be had: see why
};

class RunLock {
  public:
    RunLock(LockState state, std::string why = {}) // NOLINT(google-explicit-constructor)
        : state_(state), why_(std::move(why)) {}
    RunLock(UniqueFd held) // NOLINT(google-explicit-constructor)
        : state_(LockState::taken), held_(std::move(held)) {}

    [[nodiscard]] LockState state() const { return state_; }
    // With refused: "a symbolic link", "Read-only file system".
    [[nodiscard]] const std::string& why() const { return why_; }

    // Whether this run still holds the lock at its path: the file there is
    // the one locked, root's alone. A lock file removed, replaced or opened
    // to others since is no longer the lock, and another run may take it:
    // a run asks before each step, and stops where it no longer holds it.
    [[nodiscard]] bool still_held() const;

  private:
    LockState state_;
    std::string why_;
    UniqueFd held_; // locked until the process ends
};

// Waits for an exclusive lock on RUN_LOCK_PATH. The lock file is made 0600
// when missing. One of root's that others may open is replaced by a new one
// (they might hold the old one for ever); a link, another user's file,
// anything but a regular file, or one that cannot be made or opened
// refuses the run. Once locked, the path must still name the file locked,
// or the run takes the one there now.
RunLock take_run_lock(const LockWait& wait = {});
