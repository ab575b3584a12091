// How much free space an install takes, the same for the real run's check
// before its first write and for a dry run's account of it.
#pragma once

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

// The free space of the file system, as root may not use it either.
off_t free_space(const struct statfs& fs);

// length rounded up to the file system's unit of allocation.
off_t allocated(off_t length, const struct statfs& fs);

// The free space that writing length bytes takes over a copy that holds
// copy_blocks blocks of 512 bytes: the whole length on a copy-on-write file
// system, which rewrites nothing in place, elsewhere what it needs beyond
// the blocks that the copy already holds.
off_t space_needed(off_t length, blkcnt_t copy_blocks, const struct statfs& fs);
