// A tree install goes in batches of files that share the flushes of the
// install's steps.
#pragma once

#include "file_source.h"
#include "install.h"
#include "progress.h"
#include "walk.h"

#include <cstddef>
#include <span>
#include <vector>

// How many files a batch may take, each holding up to three descriptors
// while the batch is under way (the update, the installed file and its
// directory); 0 when the limit of open files leaves room for not even one
// file. Raises the soft limit to the hard limit first; a low limit makes
// small batches, never failures. Called before the tree's top directory is
// opened, which holds one more, and lock tells whether the run will take
// its lock, which holds another.
std::size_t batch_capacity(bool lock);

// What a dry run has found that it would write: the installed copy, and the
// version that it would hold afterwards.
struct DryWrite {
    dev_t device;
    ino_t inode;
    VersionText version;
};

// The jobs of a batch, and the update files that they read.
struct BatchRoom {
    explicit BatchRoom(std::size_t capacity) : jobs(capacity), updates(capacity) {}
    std::vector<InstallJob> jobs;
    std::vector<FileSource> updates;
};

// Installs files from first on in one batch (as many as room holds at
// most), the files reached from the tree's top directory top, and returns
// the jobs done, whose results are final. A file whose installed copy
// another file of the batch writes to already starts the next batch, found
// before its version is read, so that two paths to one installed file (a
// link, a case-insensitive file system) end as two runs one after the other
// would leave it. A dry run keeps what it would write in dry_writes, for
// the same reason.
std::span<const InstallJob> install_batch(const std::vector<TreeFile>& files, std::size_t first,
                                          int top, const InstallSettings& settings,
                                          Progress& progress, BatchRoom& room,
                                          std::vector<DryWrite>& dry_writes);
