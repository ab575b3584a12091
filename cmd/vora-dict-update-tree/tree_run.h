// A tree's files fed to the install's batch in byte order: each file of the
// walk becomes a source (checked against its manifest's digest when it has
// one), or the failure that the walk found, and the batches are run as
// they fill, their lines printed as each ends.
#pragma once

#include "batch.h"
#include "prehash.h"
#include "progress.h"
#include "walk.h"

#include <functional>
#include <span>
#include <string>
#include <vector>

// A batch ends at this many bytes of updates, so that the flush at its end
// never waits for long.
inline constexpr off_t BATCH_BYTES = off_t{64} << 20;

// How many files a batch may take, each holding up to three descriptors
// while the batch is under way (the update, the installed file and its
// directory; one more for a file hashed ahead); 0 when the limit of open
// files leaves room for not even one file. Raises the soft limit to the
// hard limit first; a low limit makes small batches, never failures.
// Called before the tree's top directory is opened, which holds one more,
// and a run that will take its lock holds another.
struct BatchCapacity {
    std::size_t files;  // a batch's
    std::size_t ahead;  // files hashed ahead, each holding a descriptor; 0: none
    std::size_t hashed; // a batch's when files are hashed ahead
};
enum class LockTaken { yes, no };
BatchCapacity batch_capacity(LockTaken lock);

// How far ahead the large files of a signed tree are hashed at most.
inline constexpr std::size_t MOST_AHEAD = 8;

// Told of the results of a batch, in order, once they are final.
using ReportBatch = std::function<void(std::span<const std::string> paths, const Batch& batch)>;

// A tree's files, reached from its top directory, and the files' hashes
// computed ahead, if any.
struct TreeFiles {
    const std::vector<TreeFile>& files;
    int top;
    Prehasher* prehasher = nullptr;
};

// Why a file that the walk found fails without being opened.
Failure walk_failure(const TreeFile& file);

// Installs the files through batch, each batch run with one flush a file
// system and step, the progress line moved as they go.
void install_tree(const TreeFiles& tree, Batch& batch, Progress& progress,
                  const ReportBatch& report);
