// The one way a path is turned into a descriptor: one walk over its
// components under policy flags, with openat2 as its fast path where the
// kernel has it and the flags allow. Whatever is found, nothing but a
// regular file is opened for reading or writing: a file is first located
// with O_PATH, which runs no device driver and waits for no FIFO, its type
// checked on that descriptor, and only then is the same inode opened
// through /proc/self/fd (open_regular).
#pragma once

#include "fd.h"

#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <variant>

// The rules of a walk, combined with |. None: links are followed as the
// system follows them.
enum class Walk : unsigned {
    system = 0,
    beneath = 1U << 0,         // never above where the path starts: no "..", no absolute path
    no_links = 1U << 1,        // a link anywhere fails
    root_links = 1U << 2,      // a link is followed only when root owns it
    safe_owners = 1U << 3,     // no step from an entry of a user other than root to another owner's
    make_missing = 1U << 4,    // missing directories are made on the way (Reached::made_in)
    stop_at_missing = 1U << 5, // a missing level ends the walk at the deepest directory found
};

constexpr Walk operator|(Walk a, Walk b) {
    return static_cast<Walk>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr bool has(Walk flags, Walk flag) {
    return (static_cast<unsigned>(flags) & static_cast<unsigned>(flag)) != 0;
}

// Why a walk failed: the system's error, whether it was a link that the
// policy does not follow (or an unsafe step, with safe_owners), and the
// path as far as it was resolved.
struct ResolveError {
    int error = 0;
    bool link = false;
    std::string where;
};

// What a walk reached: the descriptor asked for; with stop_at_missing, the
// deepest directory that exists and the levels below it that do not
// (empty when none is missing); with make_missing, the directory in which
// the last missing level was made (none when nothing was made).
struct Reached {
    UniqueFd fd;
    std::string missing;
    UniqueFd made_in;
};

// A descriptor, or why there is none.
class Resolved {
  public:
    Resolved(Reached reached) : state_(std::move(reached)) {} // NOLINT(google-explicit-constructor)
    Resolved(ResolveError error)
        : state_(std::move(error)) {} // NOLINT(google-explicit-constructor)

    [[nodiscard]] bool ok() const { return std::holds_alternative<Reached>(state_); }
    [[nodiscard]] Reached& reached() { return std::get<Reached>(state_); }
    [[nodiscard]] const ResolveError& failure() const { return std::get<ResolveError>(state_); }
    // The error number: 0 when it resolved.
    [[nodiscard]] int error() const { return ok() ? 0 : failure().error; }
    [[nodiscard]] bool link() const { return !ok() && failure().link; }
    // The descriptor, taken out.
    UniqueFd take() { return ok() ? std::move(reached().fd) : UniqueFd(); }

  private:
    std::variant<Reached, ResolveError> state_;
};

// Where a walk starts, its path and rules, and how its last component is
// opened (O_PATH to locate it, O_RDONLY | O_DIRECTORY to list it; O_CREAT
// with mode makes it; O_NOFOLLOW fails a link there whatever the policy).
struct PathWalk {
    int start;             // a directory descriptor, or AT_FDCWD
    std::string_view path; // relative to start, or absolute where the policy allows
    Walk rules;
    int open_flags;
    mode_t mode = 0; // of a file made by O_CREAT, and of directories made on the way
};

Resolved resolve(const PathWalk& walk);

// Opens the file that located refers to with place's open flags, only when
// it is a regular file, and gives its status. Where /proc is not mounted
// the file is opened again by place (the walk that located it, its last
// component opened by name), non-blocking, and fstat confirms that it is
// the file located.
struct Opened {
    UniqueFd fd;
    struct stat status {};
    int error = 0;
    bool not_regular = false; // a directory, device, FIFO or socket, or replaced by one
    bool link = false;        // opened again by its path, it had become a link
};
Opened open_regular(int located, const PathWalk& place);
// The same, for a file whose status found was taken on located already,
// and is given back as the status.
Opened open_regular(int located, const struct stat& found, const PathWalk& place);
