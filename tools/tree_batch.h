// A tree install goes in batches of files that share the flushes of the
// install's steps.
#pragma once

#include "install_file.h"
#include "tree_progress.h"
#include "tree_walk.h"

#include <cstddef>
#include <span>
#include <vector>

// How many files a batch may take, each holding two descriptors while the
// batch is under way; 0 when the limit of open files leaves room for not
// even one file. Raises the soft limit to the hard limit first; a low limit
// makes small batches, never failures. Called before the tree's top
// directory is opened, which holds one more, and lock tells whether the run
// will take its lock, which holds another.
std::size_t batch_capacity(bool lock);

// What a dry run has found that it would write: the installed copy, and the
// version that it would hold afterwards.
struct DryWrite {
    dev_t device;
    ino_t inode;
    VersionText version;
};

// Installs files from first on in one batch, in jobs (as many files as it
// can hold at most), and returns the jobs done, whose results are final. A
// file whose destination another file of the batch writes to already
// starts the next batch, found before its version is read, so that two
// paths to one installed file (a link, a case-insensitive file system) end
// as two runs one after the other would leave it. A dry run keeps what it
// would write in dry_writes, for the same reason.
std::span<const InstallJob> install_batch(const std::vector<TreeFile>& files, std::size_t first,
                                          const InstallSettings& settings, Progress& progress,
                                          std::span<InstallJob> jobs,
                                          std::vector<DryWrite>& dry_writes);
