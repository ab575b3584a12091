// The files of an update tree, in the order they are installed.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct TreeFile {
    std::string path; // relative to the tree's top, without "./"
    off_t size;       // bytes, for the progress line
    int error;        // a directory that could not be read, with why; 0 for a file
};

// Every file below the current directory, found without following links to
// directories and skipping each entry whose name starts with "." and all
// below it, sorted in byte order of the relative path. Anything that is not
// a directory or a link to one counts as a file. Directories that cannot be
// read are listed with their error.
std::vector<TreeFile> list_tree();
