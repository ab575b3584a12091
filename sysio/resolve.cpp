#include "resolve.h"

#include <array>
#include <cstdio>
#include <fcntl.h>
#include <linux/openat2.h>
#include <optional>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// As many links as the system itself follows in one path.
constexpr int MAX_LINKS = 40;

ResolveError failed(int error, std::string where = {}) {
    return {error, false, std::move(where)};
}

ResolveError refused_link(int error, std::string where) {
    return {error, true, std::move(where)};
}

UniqueFd open_path(int dir, const char* name) {
    return UniqueFd(openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
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

// A walk in progress: the directory reached and its owner, what is left of
// the path, and the links expanded on the way.
struct Walker {
    const PathWalk& walk;
    UniqueFd at;          // the directory reached, O_PATH
    uid_t owner = 0;      // its owner
    std::string rest;     // the components still to walk
    std::string reached;  // the directories passed, for messages
    std::size_t link_end; // rest is a link's target while longer than this
    int links = 0;
    UniqueFd made_in;

    explicit Walker(const PathWalk& path_walk)
        : walk(path_walk), rest(path_walk.path), link_end(path_walk.path.size()) {}

    [[nodiscard]] bool rule(Walk flag) const { return has(walk.rules, flag); }
    [[nodiscard]] std::string below(const std::string& name) const {
        return reached.empty() || reached.ends_with('/') ? reached + name : reached + "/" + name;
    }
    [[nodiscard]] std::string whole() const { return std::string(walk.path); }
};

// Starts at the root for an absolute path, else at where the walk starts.
std::optional<ResolveError> begin(Walker& w) {
    const bool absolute = w.walk.path.starts_with('/');
    if (absolute && w.rule(Walk::beneath))
        return failed(EXDEV, w.whole());
    w.at = UniqueFd(absolute ? open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)
                             : openat(w.walk.start, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    w.reached.assign(absolute ? 1 : 0, '/'); // not = "/", which GCC 12 warns of (PR 105329)
    struct stat status {};
    if (!w.at.valid() || fstat(w.at.get(), &status) != 0)
        return failed(last_error(), w.whole());
    w.owner = status.st_uid;
    return std::nullopt;
}

// A step from an entry of a user other than root to another owner's.
bool unsafe_step(const Walker& w, uid_t to) {
    return w.rule(Walk::safe_owners) && w.owner != 0 && to != w.owner;
}

// Follows the link open as link, found at name, where the policy allows.
std::optional<ResolveError> follow(Walker& w, int link, const struct stat& status,
                                   const std::string& name, bool last) {
    const bool refused = w.rule(Walk::no_links) || (last && (w.walk.open_flags & O_NOFOLLOW)) ||
                         (w.rule(Walk::root_links) && status.st_uid != 0);
    if (refused || unsafe_step(w, status.st_uid))
        return refused_link(ELOOP, w.below(name));
    std::array<char, 4096> target{};
    const ssize_t size = readlinkat(link, "", target.data(), target.size() - 1);
    if (size < 0)
        return failed(last_error(), w.whole());
    if (++w.links > MAX_LINKS)
        return failed(ELOOP, w.whole());
    const std::string_view text(target.data(), static_cast<std::size_t>(size));
    w.owner = status.st_uid;
    if (text.starts_with('/')) {
        if (w.rule(Walk::beneath))
            return refused_link(EXDEV, w.below(name));
        w.at = UniqueFd(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        w.reached.assign(1, '/'); // not = "/", which GCC 12 warns of (PR 105329)
        if (unsafe_step(w, 0))
            return refused_link(EPERM, w.below(name));
    }
    w.link_end = w.rest.size();
    w.rest = std::string(text) + "/" + w.rest;
    return std::nullopt;
}

// A missing level: made, where the policy says so and no link leads there.
std::optional<ResolveError> make_level(Walker& w, const std::string& name, UniqueFd& entry) {
    if (w.rest.size() > w.link_end)
        return failed(ENOENT, w.whole()); // nothing is made through a link to nothing
    if (mkdirat(w.at.get(), name.c_str(), w.walk.mode) != 0 && errno != EEXIST)
        return failed(last_error(), w.whole());
    w.made_in = UniqueFd(openat(w.at.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    entry = open_path(w.at.get(), name.c_str());
    if (!entry.valid())
        return failed(last_error(), w.whole());
    return std::nullopt;
}

enum class Next { walked, stopped };

// Whether the walk's last component is to be opened as a file, by its name
// from the directory above it.
bool opens_a_file(const PathWalk& walk) {
    return (walk.open_flags & (O_PATH | O_DIRECTORY)) == 0;
}

// Walks one component; stopped: the path goes on below a missing level.
std::variant<Next, ResolveError> step(Walker& w, const std::string& name) {
    const bool last = !has_components(w.rest);
    if (name == ".")
        return Next::walked;
    if (name == ".." && w.rule(Walk::beneath))
        return failed(EXDEV, w.whole());
    UniqueFd entry = open_path(w.at.get(), name.c_str());
    if (!entry.valid() && errno == ENOENT && w.rule(Walk::stop_at_missing)) {
        if (w.rest.size() > w.link_end)
            return failed(ENOENT, w.whole()); // nothing is made through a link to nothing
        w.rest = name + "/" + w.rest;
        return Next::stopped;
    }
    if (!entry.valid() && errno == ENOENT && w.rule(Walk::make_missing)) {
        if (const std::optional<ResolveError> error = make_level(w, name, entry))
            return *error;
    }
    struct stat status {};
    if (!entry.valid() || fstat(entry.get(), &status) != 0)
        return failed(last_error(), w.whole());
    if (S_ISLNK(status.st_mode)) {
        if (const std::optional<ResolveError> error = follow(w, entry.get(), status, name, last))
            return *error;
        return Next::walked;
    }
    if (unsafe_step(w, status.st_uid))
        return refused_link(EPERM, w.below(name));
    if (!last && !S_ISDIR(status.st_mode))
        return failed(ENOTDIR, w.whole());
    if (last && opens_a_file(w.walk)) {
        // By its name, never through a link swapped in since.
        UniqueFd file(openat(w.at.get(), name.c_str(), w.walk.open_flags | O_NOFOLLOW | O_CLOEXEC));
        if (!file.valid()) {
            const int error = last_error();
            return error == ELOOP ? refused_link(ELOOP, w.below(name)) : failed(error, w.whole());
        }
        entry = std::move(file);
    }
    w.at = std::move(entry);
    w.owner = status.st_uid;
    w.reached = w.below(name);
    return Next::walked;
}

// Opens what the walk reached as it asks: its O_PATH, the directory, or the
// file opened already.
Resolved finish(Walker& w) {
    Reached reached;
    reached.made_in = std::move(w.made_in);
    if ((w.walk.open_flags & O_DIRECTORY) == 0) {
        reached.fd = std::move(w.at);
        return reached;
    }
    reached.fd = UniqueFd(openat(w.at.get(), ".", (w.walk.open_flags & ~O_NOFOLLOW) | O_CLOEXEC));
    if (!reached.fd.valid())
        return failed(last_error(), w.whole());
    return reached;
}

// The last component made by O_CREAT, below the directory reached.
Resolved create_last(Walker& w, const std::string& name) {
    Reached reached;
    reached.made_in = std::move(w.made_in);
    reached.fd =
        UniqueFd(openat(w.at.get(), name.c_str(), w.walk.open_flags | O_CLOEXEC, w.walk.mode));
    if (!reached.fd.valid())
        return failed(last_error(), w.whole());
    return reached;
}

Resolved walk_components(const PathWalk& walk) {
    Walker w(walk);
    if (const std::optional<ResolveError> error = begin(w))
        return *error;
    while (has_components(w.rest)) {
        const std::string name = next_component(w.rest);
        if ((walk.open_flags & O_CREAT) != 0 && !has_components(w.rest))
            return create_last(w, name);
        std::variant<Next, ResolveError> next = step(w, name);
        if (auto* error = std::get_if<ResolveError>(&next))
            return std::move(*error);
        if (std::get<Next>(next) == Next::stopped) {
            Resolved deepest = finish(w);
            if (deepest.ok())
                deepest.reached().missing = w.rest.substr(0, w.rest.find_last_not_of('/') + 1);
            return deepest;
        }
    }
    return finish(w);
}

// The kernel's own resolution, where the rules are its: every link
// followed, or none and never above the start.
std::optional<Resolved> fast_path(const PathWalk& walk) {
    const std::string terminated(walk.path);
    if (walk.rules == Walk::system) {
        UniqueFd fd(openat(walk.start, terminated.c_str(), walk.open_flags | O_CLOEXEC, walk.mode));
        if (!fd.valid())
            return Resolved(failed(last_error(), terminated));
        return Resolved(Reached{std::move(fd), {}, {}});
    }
    if (walk.rules != (Walk::beneath | Walk::no_links) || (walk.open_flags & O_CREAT) != 0)
        return std::nullopt;
    open_how how{};
    how.flags = static_cast<unsigned>(walk.open_flags | O_CLOEXEC);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
    const auto fd = syscall(SYS_openat2, walk.start, terminated.c_str(), &how, sizeof how);
    if (fd >= 0)
        return Resolved(Reached{UniqueFd(static_cast<int>(fd)), {}, {}});
    const int error = last_error();
    if (error == ENOSYS)
        return std::nullopt;
    if (error == ELOOP)
        return Resolved(refused_link(ELOOP, terminated));
    return Resolved(failed(error, terminated));
}

} // namespace

Resolved resolve(const PathWalk& walk) {
    if (std::optional<Resolved> quick = fast_path(walk))
        return std::move(*quick);
    return walk_components(walk);
}

Opened open_regular(int located, const PathWalk& place) {
    struct stat found {};
    if (fstat(located, &found) != 0) {
        Opened result;
        result.error = last_error();
        return result;
    }
    // The status as opened: a change made in between is the file's as read.
    Opened opened = open_regular(located, found, place);
    if (opened.fd.valid() && fstat(opened.fd.get(), &opened.status) != 0) {
        opened.error = last_error();
        opened.fd.reset();
    }
    return opened;
}

Opened open_regular(int located, const struct stat& found, const PathWalk& place) {
    Opened result;
    result.status = found;
    if (!S_ISREG(found.st_mode)) {
        result.not_regular = true;
        result.error = EINVAL;
        return result;
    }
    const int flags = place.open_flags | O_NOCTTY | O_CLOEXEC;
    std::array<char, 32> proc_path{};
    (void)std::snprintf(proc_path.data(), proc_path.size(), "/proc/self/fd/%d", located);
    // The magic link opens the very inode located, whatever its path holds
    // now: its status is the one found.
    result.fd = UniqueFd(open(proc_path.data(), flags));
    if (result.fd.valid())
        return result;
    if (errno != ENOENT) {
        result.error = last_error();
        return result;
    }
    // No /proc: the path once more, where a FIFO swapped in cannot hold the
    // run, and fstat confirms that it is the file located.
    PathWalk again = place;
    again.open_flags = flags | O_NONBLOCK;
    Resolved relocated = resolve(again);
    result.fd = relocated.take();
    if (!relocated.ok()) {
        result.error = relocated.error();
        result.link = relocated.link();
        return result;
    }
    if (fstat(result.fd.get(), &result.status) == 0 && S_ISREG(result.status.st_mode) &&
        result.status.st_dev == found.st_dev && result.status.st_ino == found.st_ino)
        return result;
    result.fd.reset();
    result.not_regular = true;
    result.error = EINVAL;
    return result;
}
