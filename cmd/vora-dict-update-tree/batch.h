// A tree install goes in batches of files that share the flushes of the
// install's steps.
#pragma once

#include "file_source.h"
#include "install.h"
#include "prehash.h"
#include "progress.h"
#include "verified_source.h"
#include "walk.h"

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

// A batch ends at this many bytes of updates, so that the flush at its end
// never waits for long: an archive's members are held in memory that long.
inline constexpr off_t BATCH_BYTES = off_t{64} << 20;

// How many files a batch may take, each holding up to three descriptors
// while the batch is under way (the update, the installed file and its
// directory; one more for a file hashed ahead); 0 when the limit of open
// files leaves room for not even one file. Raises the soft limit to the hard limit first; a low
// limit makes small batches, never failures. Called before the tree's top directory is opened,
// which holds one more, and lock tells whether the run will take its lock, which holds another. How
// far ahead the large files of a signed tree are hashed at most.
inline constexpr std::size_t MOST_AHEAD = 8;

struct BatchCapacity {
    std::size_t files;  // a batch's
    std::size_t ahead;  // files hashed ahead, each holding a descriptor; 0: none
    std::size_t hashed; // a batch's when files are hashed ahead
};
BatchCapacity batch_capacity(bool lock);

// Whether job's installed file is one that an earlier job of the batch
// (before) writes, or in a dry run would write: the job then starts the
// next batch.
bool written_in_this_batch(InstallJob& job, std::span<const InstallJob> before, DryRun* dry);

// The jobs of a batch, the update files that they read, and in a dry run
// the updates that earlier files would have installed in their place.
// The updates that a manifest lists are read through a VerifiedSource.
struct BatchRoom {
    explicit BatchRoom(std::size_t capacity)
        : jobs(capacity), updates(capacity), verified(capacity), assumed_updates(capacity) {}
    std::vector<InstallJob> jobs;
    std::vector<FileSource> updates;
    std::vector<std::optional<VerifiedSource>> verified;
    std::vector<FileSource> assumed_updates;
};

// Installs files from first on in one batch (as many as room holds at
// most), the files reached from the tree's top directory top, and returns
// the jobs done, whose results are final. A file whose installed copy
// another file of the batch writes to already starts the next batch, found
// before its version is read, so that two paths to one installed file (a
// link, a case-insensitive file system) end as two runs one after the other
// would leave it. A dry run (dry given) writes nothing, and makes the same
// batches with the same results, keeping account in dry of what the real
// run would have written.
// prehasher, when given, has hashed large files ahead.
std::span<const InstallJob> install_batch(const std::vector<TreeFile>& files, std::size_t first,
                                          int top, const InstallSettings& settings,
                                          Progress& progress, BatchRoom& room, DryRun* dry,
                                          Prehasher* prehasher = nullptr);
