// The tree command's two runs: over a directory, and over an archive.
#pragma once

#include "fd.h"
#include "options.h"
#include "tree_run.h"
#include "trust.h"

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

// --verify: the same files compared with their installed copies.
int verify_tree_command(const Options& options, int top, const TrustedKeys& keys);
int verify_archive_command(const Options& options, const Argument& argument,
                           const TrustedKeys& keys);
