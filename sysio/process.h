// Process-wide safeguards of an install: the standard descriptors, and the
// signals that must not cut the install's steps short.
#pragma once

#include <array>
#include <csignal>

// The signals that ask a process to stop: held while an install is under
// way, then let through.
inline constexpr std::array<int, 4> STOPPING_SIGNALS{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no file opened later can take its place. False when that fails.
bool open_standard_descriptors();

// A closed reader of standard output or a file-size limit then shows as a
// failed write (EPIPE, EFBIG) instead of killing the process.
void ignore_write_signals();

// Blocks the stopping signals; release_signals lets any that arrived take
// effect.
void hold_signals();
void release_signals();

// Whether a stopping signal arrived while they are held: the run then stops
// after the step it is in.
bool stop_pending();

// A broken read lease is told by SIGIO, which would end the process: the
// install asks whether its lease still holds instead.
void ignore_lease_breaks();
