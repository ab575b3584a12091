#include "walk.h"

#include "resolve.h"
#include "tree_path.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <string_view>
#include <unistd.h>

namespace {

// Whether an entry (name, at path relative to the top) matches a pattern as
// rsync matches one: against the name or the relative path, a "*" crossing
// "/"; a leading "/" anchors it at the tree's top (the relative path alone),
// a trailing "/" matches directories only.
bool matches(std::string_view pattern, const std::string& name, const std::string& path,
             bool directory) {
    if (pattern.ends_with('/')) {
        if (!directory)
            return false;
        pattern.remove_suffix(1);
    }
    const bool anchored = pattern.starts_with('/');
    const std::string bare(anchored ? pattern.substr(1) : pattern);
    return fnmatch(bare.c_str(), path.c_str(), 0) == 0 ||
           (!anchored && fnmatch(bare.c_str(), name.c_str(), 0) == 0);
}

bool excluded(std::span<const std::string> patterns, const std::string& name,
              const std::string& path, bool directory) {
    return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& pattern) {
        return matches(pattern, name, path, directory);
    });
}

struct TreeWalk {
    int top;
    std::span<const std::string> excluded;
    std::vector<TreeFile> files;
    std::vector<std::string> directories; // still to be listed, relative to top
    std::size_t excluded_entries = 0;
};

// Lists one directory, relative path prefix ("" for the top), into the walk.
void list_directory(TreeWalk& walk, const std::string& prefix) {
    const std::string shown = prefix.empty() ? "." : prefix.substr(0, prefix.size() - 1);
    Resolved listed =
        resolve({walk.top, shown, Walk::beneath | Walk::no_links, O_RDONLY | O_DIRECTORY});
    UniqueFd held = listed.take();
    DIR* dir = held.valid() ? fdopendir(held.get()) : nullptr;
    if (dir == nullptr) {
        // A directory replaced by a link since its parent was listed.
        const int error = held.valid() ? last_error() : listed.error();
        walk.files.push_back(
            {shown, listed.link() ? TreeEntry::link : TreeEntry::unreadable, {}, error});
        return;
    }
    const int fd = held.release(); // the listing's now
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir);
        if (entry == nullptr)
            break;
        const std::string name = entry->d_name;
        if (name[0] == '.')
            continue;
        const std::string path = prefix + name;
        struct stat status {};
        if (fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            walk.files.push_back({path, TreeEntry::unreadable, {}, errno});
            continue;
        }
        const bool directory = S_ISDIR(status.st_mode);
        // An entry left out counts once, a directory too: nothing below it is read.
        if (excluded(walk.excluded, name, path, directory)) {
            ++walk.excluded_entries;
            continue;
        }
        if (directory)
            walk.directories.push_back(path + "/");
        else if (S_ISREG(status.st_mode))
            walk.files.push_back({path, TreeEntry::regular, status, 0});
        else if (!S_ISLNK(status.st_mode))
            walk.files.push_back({path, TreeEntry::special, status, 0});
        else // never followed, not even to see what it names
            walk.files.push_back({path, TreeEntry::link, status, 0});
    }
    if (errno != 0)
        walk.files.push_back({shown, TreeEntry::unreadable, {}, errno});
    closedir(dir);
}

void sort_by_path(std::vector<TreeFile>& files) {
    std::sort(files.begin(), files.end(),
              [](const TreeFile& a, const TreeFile& b) { return a.path < b.path; });
}

} // namespace

std::optional<LeftOut> where_left_out(std::span<const std::string> patterns, std::string_view path,
                                      bool directory) {
    std::optional<LeftOut> left;
    for_each_component(path, [&](std::string_view name, std::string_view prefix) {
        const bool above = prefix.size() < path.size();
        if (name.starts_with('.'))
            left = LeftOut{true, std::string(prefix)};
        else if (excluded(patterns, std::string(name), std::string(prefix), above || directory))
            left = LeftOut{false, std::string(prefix)};
        return !left;
    });
    return left;
}

bool left_out(std::span<const std::string> patterns, std::string_view path) {
    return where_left_out(patterns, path, false).has_value();
}

std::vector<std::string> listed_but_missing(const Manifest& manifest,
                                            std::span<const std::string> excluded,
                                            const std::function<bool(const std::string&)>& met) {
    std::vector<std::string> missing;
    for (const ManifestEntry& entry : manifest.entries) {
        const std::string path(entry.path);
        if (!met(path) && !left_out(excluded, path))
            missing.push_back(path);
    }
    return missing;
}

void apply_manifest(const Manifest& manifest, std::span<const std::string> excluded,
                    std::vector<TreeFile>& files) {
    std::vector<std::string_view> found;
    for (TreeFile& file : files) {
        found.push_back(file.path);
        if (file.entry != TreeEntry::regular)
            continue;
        file.digest = manifest.digest_of(file.path);
        if (file.digest == nullptr)
            file.entry = TreeEntry::unlisted;
    }
    const auto met = [&found](const std::string& path) {
        return std::binary_search(found.begin(), found.end(), path);
    };
    for (std::string& path : listed_but_missing(manifest, excluded, met)) {
        const Sha256* listed = manifest.digest_of(path);
        files.push_back({std::move(path), TreeEntry::missing, {}, ENOENT, listed});
    }
    sort_by_path(files);
}

std::vector<TreeFile> list_tree(int top, std::span<const std::string> excluded,
                                std::size_t& excluded_entries) {
    TreeWalk walk{top, excluded, {}, {""}, 0};
    while (!walk.directories.empty()) {
        const std::string prefix = std::move(walk.directories.back());
        walk.directories.pop_back();
        list_directory(walk, prefix);
    }
    sort_by_path(walk.files);
    excluded_entries = walk.excluded_entries;
    return walk.files;
}
