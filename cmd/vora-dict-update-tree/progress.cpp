#include "progress.h"

#include "process.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// What erases the line on the screen, for the handler of a stopping signal,
// which can only write bytes that are ready: the one state that a signal
// handler must share with the program.
std::array<char, 256> erase_text{};
volatile sig_atomic_t erase_size = 0;

// Erases the line, then lets the signal end the process as its sender asked.
void erase_then_stop(int signal_number) {
    if (erase_size > 0)
        (void)!write(STDERR_FILENO, erase_text.data(), static_cast<std::size_t>(erase_size));
    // SA_RESETHAND put the default action back; the signal is delivered
    // again as soon as this handler returns.
    (void)raise(signal_number);
}

// A signal that was ignored when the run began (a background job's SIGINT)
// stays ignored.
void erase_on_stopping_signals() {
    struct sigaction action {};
    action.sa_handler = erase_then_stop;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : STOPPING_SIGNALS) {
        struct sigaction before {};
        if (sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            (void)sigaction(signal_number, &action, nullptr);
    }
}

// The time left at the rate so far, once a second has passed: ", 1:05 left"
// or ", 2:03:15 left"; empty before, and when nothing or all is done.
std::array<char, 32> time_left(double seconds, off_t done, off_t total) {
    std::array<char, 32> text{};
    if (seconds < 1 || done <= 0 || total <= done)
        return text;
    const double left = seconds * static_cast<double>(total - done) / static_cast<double>(done);
    const long long whole = std::llround(std::min(left, 359999.0));
    if (whole >= 3600)
        (void)std::snprintf(text.data(), text.size(), ", %lld:%02lld:%02lld left", whole / 3600,
                            whole / 60 % 60, whole % 60);
    else
        (void)std::snprintf(text.data(), text.size(), ", %lld:%02lld left", whole / 60, whole % 60);
    return text;
}

} // namespace

bool plain_terminal() {
    const char* term = std::getenv("TERM");
    return term == nullptr || *term == '\0' || std::strcmp(term, "dumb") == 0;
}

Progress::Progress(std::size_t files, off_t bytes, bool plain)
    : shown_(isatty(STDERR_FILENO) == 1), shares_terminal_(isatty(STDOUT_FILENO) == 1),
      plain_(plain), total_files_(files), total_bytes_(bytes), start_ns_(now_ns()) {
    if (shown_)
        erase_on_stopping_signals();
}

void Progress::bytes_copied(off_t bytes) {
    count(bytes);
}

void Progress::read_to(off_t bytes) {
    count(std::max<off_t>(bytes - bytes_, 0));
}

void Progress::file_done(off_t bytes_not_copied) {
    ++files_;
    count(bytes_not_copied);
}

void Progress::count(off_t bytes) {
    bytes_ += bytes;
    if (shown_ && now_ns() - drawn_ns_ >= REDRAW_NS)
        draw();
}

void Progress::draw() {
    drawn_ns_ = now_ns();
    const double seconds = static_cast<double>(drawn_ns_ - start_ns_) / 1e9;
    const double rate = seconds > 0 ? static_cast<double>(bytes_) / MIB / seconds : 0;
    const int percent = total_bytes_ > 0 ? static_cast<int>(100 * bytes_ / total_bytes_) : 100;
    std::array<char, 128> line{};
    std::array<char, 48> files{};
    if (total_files_ == UNKNOWN_FILES)
        (void)std::snprintf(files.data(), files.size(), "%zu files", files_);
    else
        (void)std::snprintf(files.data(), files.size(), "%zu/%zu files", files_, total_files_);
    const int width = std::snprintf(
        line.data(), line.size(), "%s, %d%%, %.1f/%.1f MiB, %.1f MiB/s%s", files.data(), percent,
        static_cast<double>(bytes_) / MIB, static_cast<double>(total_bytes_) / MIB, rate,
        time_left(seconds, bytes_, total_bytes_).data());
    const auto size = static_cast<std::size_t>(width);
    // A plain terminal has its longer line covered with spaces.
    const std::size_t padding = plain_ && drawn_width_ > size ? drawn_width_ - size : 0;
    (void)std::fprintf(stderr, "\r%s%s%*s", plain_ ? "" : "\033[K", line.data(),
                       static_cast<int>(padding), "");
    (void)std::fflush(stderr);
    drawn_width_ = std::max(size, drawn_width_);
    // The erasing text for a signal: a carriage return, spaces, a carriage
    // return; or the escape sequence that clears the line.
    erase_size = 0;
    std::size_t at = 0;
    erase_text[at++] = '\r';
    if (plain_) {
        const std::size_t spaces = std::min(drawn_width_, erase_text.size() - 2);
        std::memset(erase_text.data() + at, ' ', spaces);
        at += spaces;
        erase_text[at++] = '\r';
    } else {
        std::memcpy(erase_text.data() + at, "\033[K", 3);
        at += 3;
    }
    erase_size = static_cast<sig_atomic_t>(at);
}

void Progress::make_room_for_output() {
    if (shares_terminal_)
        erase();
}

void Progress::erase() {
    if (drawn_width_ == 0)
        return;
    erase_size = 0;
    if (plain_)
        (void)std::fprintf(stderr, "\r%*s\r", static_cast<int>(drawn_width_), "");
    else
        (void)std::fputs("\r\033[K", stderr);
    (void)std::fflush(stderr);
    drawn_width_ = 0;
}
