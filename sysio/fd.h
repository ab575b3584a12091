// A descriptor that closes itself, and the error numbers that system calls
// leave, captured as values where the call failed.
#pragma once

#include <cerrno>
#include <unistd.h>
#include <utility>

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    // Closes what it holds: a close whose result matters goes through
    // close_checked. Errors travel as values, so no caller reads errno
    // across this.
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// The error number of the call just made, when it failed.
inline int last_error() {
    return errno != 0 ? errno : EIO;
}

// Closes fd and returns the close's error number, or 0.
inline int close_checked(UniqueFd& fd) {
    return ::close(fd.release()) == 0 ? 0 : last_error();
}
