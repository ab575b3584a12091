#include "resolve.h"

#include <array>
#include <cstdio>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// As many links as the system itself follows in one path.
constexpr int MAX_LINKS = 40;

// A link met at name below dir: O_DIRECTORY meets a link before O_NOFOLLOW
// does, and then fails with ENOTDIR.
bool is_link_at(int dir, const char* name) {
    struct stat status {};
    return fstatat(dir, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode);
}

Resolved failed(int error, bool link = false, std::string where = {}) {
    Resolved result;
    result.error = error;
    result.link = link;
    result.where = std::move(where);
    return result;
}

// The components of path one at a time, each directory opened without
// following a link, for kernels without openat2. "..", an absolute path and
// a link anywhere are refused as openat2 would refuse them.
Resolved open_by_components(int top, std::string_view path, int flags) {
    UniqueFd held; // the directory reached, once below top
    for (;;) {
        const int dir = held.valid() ? held.get() : top;
        const std::size_t slash = path.find('/');
        const std::string name(path.substr(0, slash));
        const bool last = slash == std::string_view::npos;
        if (name == ".." || (dir == top && path.starts_with('/')))
            return failed(EXDEV);
        const char* entry = name.empty() ? "." : name.c_str();
        UniqueFd next(
            openat(dir, entry, (last ? flags : O_RDONLY | O_DIRECTORY) | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid()) {
            const int error = last_error();
            const bool link = error == ELOOP || (error == ENOTDIR && is_link_at(dir, entry));
            return failed(link ? ELOOP : error, link);
        }
        if (last) {
            // O_PATH with O_NOFOLLOW opens a link itself: a link all the same.
            struct stat status {};
            if ((flags & O_PATH) != 0 && fstat(next.get(), &status) == 0 && S_ISLNK(status.st_mode))
                return failed(ELOOP, true);
            Resolved found;
            found.fd = std::move(next);
            return found;
        }
        held = std::move(next);
        path.remove_prefix(slash + 1);
    }
}

Resolved beneath(int top, std::string_view path, int flags) {
    open_how how{};
    how.flags = static_cast<unsigned>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
    const std::string terminated(path);
    const auto fd = syscall(SYS_openat2, top, terminated.c_str(), &how, sizeof how);
    if (fd >= 0) {
        Resolved found;
        found.fd = UniqueFd(static_cast<int>(fd));
        return found;
    }
    const int error = last_error();
    if (error != ENOSYS)
        return failed(error, error == ELOOP);
    return open_by_components(top, path, flags);
}

// The next component of rest, removed from it: "" when none is left.
std::string next_component(std::string& rest) {
    const std::size_t start = rest.find_first_not_of('/');
    if (start == std::string::npos) {
        rest.clear();
        return {};
    }
    const std::size_t end = rest.find('/', start);
    std::string name = rest.substr(start, end - start);
    rest.erase(0, end == std::string::npos ? rest.size() : end);
    return name;
}

bool has_components(const std::string& rest) {
    return rest.find_first_not_of('/') != std::string::npos;
}

// The walk of a path one component at a time from at, which expands each
// link that it meets in place of its name, as the system would.
struct Walk {
    UniqueFd at;
    std::string rest;
    std::string reached; // the directories passed, for messages
    int links = 0;

    explicit Walk(std::string_view path)
        : at(open(path.starts_with('/') ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC)), rest(path),
          reached(path.starts_with('/') ? "/" : "") {}

    [[nodiscard]] std::string below(const std::string& name) const {
        return reached.empty() || reached.ends_with('/') ? reached + name : reached + "/" + name;
    }

    // Puts the target of the link next, which lies at name; false with
    // errno set when it cannot be read or there are too many.
    bool expand(int link) {
        std::array<char, 4096> target{};
        const ssize_t size = readlinkat(link, "", target.data(), target.size() - 1);
        if (size < 0)
            return false;
        if (++links > MAX_LINKS) {
            errno = ELOOP;
            return false;
        }
        const std::string_view text(target.data(), static_cast<std::size_t>(size));
        if (text.starts_with('/')) {
            at = UniqueFd(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
            reached.assign(1, '/'); // not = "/", which GCC 12 warns of (PR 105329)
        }
        rest = std::string(text) + "/" + rest;
        return true;
    }
};

// The tree's top: a link is followed only when root owns it, since a link
// that another user owns could point the run at a directory of root's,
// whose files would then be installed for all to read.
Resolved resolve_root_owned(std::string_view path, int flags) {
    Walk walk(path);
    const std::string whole(path);
    while (walk.at.valid() && has_components(walk.rest)) {
        const std::string name = next_component(walk.rest);
        if (name == ".")
            continue;
        UniqueFd next(openat(walk.at.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat status {};
        if (!next.valid() || fstat(next.get(), &status) != 0)
            return failed(last_error(), false, whole);
        if (!S_ISLNK(status.st_mode)) {
            walk.at = std::move(next);
            walk.reached = walk.below(name);
            continue;
        }
        if (status.st_uid != 0)
            return failed(ELOOP, true, walk.below(name));
        if (!walk.expand(next.get()))
            return failed(last_error(), false, whole);
    }
    if (!walk.at.valid())
        return failed(last_error(), false, whole);
    Resolved found;
    // Located only, it may be a file (an archive); "." would take a directory.
    if (flags == O_PATH && !whole.ends_with('/')) {
        found.fd = std::move(walk.at);
        return found;
    }
    found.fd = UniqueFd(openat(walk.at.get(), ".", flags | O_CLOEXEC));
    if (!found.fd.valid())
        return failed(last_error(), false, whole);
    return found;
}

} // namespace

Resolved resolve(int start, std::string_view path, Links links, int flags) {
    switch (links) {
    case Links::none:
        return beneath(start, path, flags);
    case Links::root_owned:
        return resolve_root_owned(path, flags);
    case Links::any:
        break;
    }
    const std::string terminated(path);
    Resolved found;
    found.fd = UniqueFd(openat(start, terminated.c_str(), flags | O_CLOEXEC));
    if (!found.fd.valid())
        return failed(last_error());
    return found;
}

Existing deepest_existing(std::string_view path) {
    Existing result;
    std::string prefix(path);
    for (;;) {
        result.directory = UniqueFd(openat(AT_FDCWD, prefix.empty() ? "/" : prefix.c_str(),
                                           O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (result.directory.valid())
            break;
        const std::size_t slash = prefix.rfind('/');
        if (errno != ENOENT || slash == std::string::npos || prefix.empty()) {
            result.error = last_error();
            return result;
        }
        prefix.resize(slash);
    }
    result.missing = path.substr(prefix.size());
    while (result.missing.starts_with('/'))
        result.missing.erase(0, 1);
    // The first missing name may be a link to nothing, through which
    // nothing is ever made.
    const std::string first = result.missing.substr(0, result.missing.find('/'));
    struct stat status {};
    if (!first.empty() &&
        fstatat(result.directory.get(), first.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISDIR(status.st_mode)) {
        result.directory.reset();
        result.error = S_ISLNK(status.st_mode) ? ENOENT : ENOTDIR;
    }
    return result;
}

Made make_levels(UniqueFd directory, std::string_view missing, mode_t mode) {
    Made result;
    std::string rest(missing);
    for (std::string name = next_component(rest); !name.empty(); name = next_component(rest)) {
        const bool made = mkdirat(directory.get(), name.c_str(), mode) == 0;
        if (!made && errno != EEXIST) {
            result.error = last_error();
            return result;
        }
        UniqueFd next(
            openat(directory.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid()) {
            result.error = last_error();
            return result;
        }
        result.made_in = made ? std::move(directory) : UniqueFd();
        directory = std::move(next);
    }
    result.directory = std::move(directory);
    return result;
}

Opened open_regular(int located, const Place& place, int flags, const struct stat* seen) {
    Opened result;
    if (seen == nullptr && fstat(located, &result.status) != 0) {
        result.error = last_error();
        return result;
    }
    const struct stat found = seen != nullptr ? *seen : result.status;
    if (!S_ISREG(found.st_mode)) {
        result.not_regular = true;
        result.error = EINVAL;
        return result;
    }
    flags |= O_NOCTTY | O_CLOEXEC;
    std::array<char, 32> proc_path{};
    (void)std::snprintf(proc_path.data(), proc_path.size(), "/proc/self/fd/%d", located);
    // The magic link opens the very inode located, whatever its path holds
    // now; a caller that knew it already needs no second look.
    result.fd = UniqueFd(open(proc_path.data(), flags));
    if (result.fd.valid() && seen != nullptr) {
        result.status = found;
        return result;
    }
    if (!result.fd.valid() && errno != ENOENT) {
        result.error = last_error();
        return result;
    }
    // No /proc: the path once more, where a FIFO swapped in cannot hold the run.
    if (!result.fd.valid()) {
        Resolved again = resolve(place.dir, place.path, place.links, flags | O_NONBLOCK);
        if (!again.fd.valid()) {
            result.error = again.error;
            result.link = again.link;
            return result;
        }
        result.fd = std::move(again.fd);
    }
    if (fstat(result.fd.get(), &result.status) == 0 && S_ISREG(result.status.st_mode) &&
        result.status.st_dev == found.st_dev && result.status.st_ino == found.st_ino)
        return result;
    result.fd.reset();
    result.not_regular = true;
    result.error = EINVAL;
    return result;
}
