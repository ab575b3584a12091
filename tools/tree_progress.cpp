#include "tree_progress.h"

#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

std::int64_t now_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

constexpr std::int64_t REDRAW_NS = 100000000;
constexpr double MIB = 1024.0 * 1024.0;

} // namespace

Progress::Progress(std::size_t files, off_t bytes)
    : shown_(isatty(STDERR_FILENO) == 1), shares_terminal_(isatty(STDOUT_FILENO) == 1),
      total_files_(files), total_bytes_(bytes), start_ns_(now_ns()) {}

void Progress::file_done(off_t bytes) {
    ++files_;
    bytes_ += bytes;
    if (shown_ && now_ns() - drawn_ns_ >= REDRAW_NS)
        draw();
}

void Progress::draw() {
    drawn_ns_ = now_ns();
    const double seconds = static_cast<double>(drawn_ns_ - start_ns_) / 1e9;
    const double rate = seconds > 0 ? static_cast<double>(bytes_) / MIB / seconds : 0;
    (void)std::fprintf(stderr, "\r\033[K%zu/%zu files, %.1f/%.1f MiB, %.1f MiB/s", files_,
                       total_files_, static_cast<double>(bytes_) / MIB,
                       static_cast<double>(total_bytes_) / MIB, rate);
    (void)std::fflush(stderr);
    drawn_ = true;
}

void Progress::make_room_for_output() {
    if (shares_terminal_)
        erase();
}

void Progress::erase() {
    if (!drawn_)
        return;
    (void)std::fputs("\r\033[K", stderr);
    (void)std::fflush(stderr);
    drawn_ = false;
}
