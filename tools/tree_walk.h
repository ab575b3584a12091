// The files of an update tree, in the order they are installed.
#pragma once

#include <string>
#include <sys/stat.h>
#include <vector>

enum class TreeEntry {
    regular,    // a regular file, to be installed
    special,    // a device node, FIFO or socket: never opened
    link,       // a symbolic link to anything but a directory: never followed
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

// Every file below the current directory, found without following links and
// skipping each entry whose name starts with "." and all below it, sorted
// in byte order of the relative path. Links to directories are skipped.
std::vector<TreeFile> list_tree();
