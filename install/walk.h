// The files of an update tree, in the order they are installed.
#pragma once

#include "manifest.h"

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <sys/stat.h>
#include <vector>

enum class TreeEntry {
    regular,    // a regular file, to be installed
    special,    // a device node, FIFO or socket: never opened
    link,       // a symbolic link: never followed
    unreadable, // a directory or entry that could not be read
    unlisted,   // a regular file that the tree's manifest does not list: never opened
    missing,    // listed in the manifest, not in the tree
};

struct TreeFile {
    std::string path; // relative to the tree's top, without "./"
    TreeEntry entry;
    struct stat status;             // as the walk found it, without following a link
    int error;                      // why an unreadable entry could not be read
    const Sha256* digest = nullptr; // what the manifest lists for a regular file
};

// The bytes that installing the file moves, for the progress line.
inline off_t bytes_to_install(const TreeFile& file) {
    return file.entry == TreeEntry::regular ? file.status.st_size : 0;
}

// Every file below the directory open as top, sorted in byte order of the
// relative path. Each directory is reached from top without following a
// link or leaving it, so a directory swapped for a link while the walk goes
// on is listed as a link, never walked. Entries whose names start with "."
// are skipped with all below them, and so are entries whose name or
// relative path matches one of excluded (fnmatch patterns, "/" in front
// anchoring one at the top, "/" behind matching directories only);
// excluded_entries counts them, a directory once.
std::vector<TreeFile> list_tree(int top, std::span<const std::string> excluded,
                                std::size_t& excluded_entries);

// Where the walk leaves the entry at path (a directory when directory is
// set) out: the path of the first component that starts with "." (dotted)
// or that one of patterns matches by its name or its path; nullopt when the
// walk takes it.
struct LeftOut {
    bool dotted = false;
    std::string prefix;
};
std::optional<LeftOut> where_left_out(std::span<const std::string> patterns, std::string_view path,
                                      bool directory);

// Whether the walk leaves path out: it, or a directory above it, starts
// with "." or matches one of patterns.
bool left_out(std::span<const std::string> patterns, std::string_view path);

// The paths that manifest lists but that the run did not meet (met says
// which it met), unless the run leaves them out; in byte order.
std::vector<std::string> listed_but_missing(const Manifest& manifest,
                                            std::span<const std::string> excluded,
                                            const std::function<bool(const std::string&)>& met);

// Lets the manifest govern the files listed: each regular file gets its
// digest, or is unlisted; each path listed that the walk did not find,
// and did not leave out, is missing (with the digest listed). Still in
// byte order.
void apply_manifest(const Manifest& manifest, std::span<const std::string> excluded,
                    std::vector<TreeFile>& files);
