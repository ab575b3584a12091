// The tree command's two runs: over a directory, and over an archive.
#pragma once

#include "fd.h"
#include "options.h"
#include "trust.h"
#include "tree_run.h"

#include <sys/stat.h>

// What the command line named: a directory, or a file (an archive).
struct Argument {
    UniqueFd fd;
    struct stat status {};
};

int run_tree(const Options& options, int top, const TrustedKeys& keys,
             const BatchCapacity& capacity);
int run_archive(const Options& options, const Argument& argument, const TrustedKeys& keys,
                const BatchCapacity& capacity);
