// The files of an update tree, in the order they are installed.
#pragma once

#include <span>
#include <string>
#include <sys/stat.h>
#include <vector>

enum class TreeEntry {
    regular,    // a regular file, to be installed
    special,    // a device node, FIFO or socket: never opened
    link,       // a symbolic link: never followed
    unreadable, // a directory or entry that could not be read
};

struct TreeFile {
    std::string path; // relative to the tree's top, without "./"
    TreeEntry entry;
    struct stat status; // as the walk found it, without following a link
    int error;          // why an unreadable entry could not be read
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
