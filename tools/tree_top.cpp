#include "tree_top.h"

#include "reach_file.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// As many links as the system itself follows in one path.
constexpr int MAX_LINKS = 40;

// Replaces *fd with next, closing what it held.
void move_to(int& fd, int next) {
    close_quietly(fd);
    fd = next;
}

} // namespace

int open_tree_top(const char* dir, std::string& where, std::string& why) {
    std::string rest = dir;
    // The directories passed, for a refusal's text.
    std::string reached = rest.starts_with('/') ? "/" : "";
    int at = open(rest.starts_with('/') ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const auto below = [&reached](const std::string& name) {
        return reached.empty() || reached.ends_with('/') ? reached + name : reached + "/" + name;
    };
    const auto fail = [&](const std::string& path, const char* reason) {
        close_quietly(at);
        where = path;
        why = reason;
        return -1;
    };
    for (int links = 0; at >= 0;) {
        const std::size_t start = rest.find_first_not_of('/');
        if (start == std::string::npos)
            break;
        const std::size_t end = rest.find('/', start);
        const std::string name = rest.substr(start, end - start);
        rest.erase(0, end);
        if (name == ".")
            continue;
        const int next = openat(at, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        struct stat status {};
        if (next < 0 || fstat(next, &status) != 0)
            return fail(dir, std::strerror(errno));
        if (!S_ISLNK(status.st_mode)) {
            move_to(at, next);
            reached = below(name);
            continue;
        }
        std::array<char, 4096> target{};
        const ssize_t size = readlinkat(next, "", target.data(), target.size() - 1);
        close_quietly(next);
        if (status.st_uid != 0)
            return fail(below(name), "a symbolic link that another user owns");
        if (++links > MAX_LINKS)
            return fail(dir, std::strerror(ELOOP));
        if (size < 0)
            return fail(dir, std::strerror(errno));
        const std::string_view link(target.data(), static_cast<std::size_t>(size));
        if (link.starts_with('/')) {
            move_to(at, open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
            reached.assign(1, '/'); // not = "/", which GCC 12 warns of (PR 105329)
        }
        std::string through(link);
        through += '/';
        rest = through.append(rest);
    }
    if (at < 0)
        return fail(dir, std::strerror(errno));
    const int top = openat(at, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (top < 0)
        return fail(dir, std::strerror(errno));
    close_quietly(at);
    return top;
}
