// A tree install goes in batches of files that share the flushes of the
// install's steps.
#pragma once

#include "install_file.h"
#include "tree_progress.h"
#include "tree_walk.h"

#include <cstddef>
#include <span>
#include <vector>

// How many files a batch may take: each holds two descriptors while the
// batch is under way. Raises the soft limit of open files to the hard limit
// first; a low limit makes small batches, never failures.
std::size_t batch_capacity();

// Installs files from first on in one batch, in jobs (as many files as it
// can hold at most), and returns the jobs done, whose results are final. A
// file whose destination another file of the batch writes to already
// starts the next batch, so that two paths to one installed file (a link,
// a case-insensitive file system) end as two runs one after the other would
// leave it.
std::span<const InstallJob> install_batch(const std::vector<TreeFile>& files, std::size_t first,
                                          const InstallSettings& settings, Progress& progress,
                                          std::span<InstallJob> jobs);
