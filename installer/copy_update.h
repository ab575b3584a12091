#pragma once

#include <sys/types.h>

enum class CopyFailure { none, read, write };

struct CopyResult {
    off_t copied;        // bytes written to the destination
    CopyFailure failure; // what stopped the copy early, with errno set
};

// Copies the update into the destination from their current offsets until
// the update is exhausted, decoding every block of the file's BLOCK_SIZE grid
// when decode is true. After a failure the destination is incomplete.
CopyResult copy_update(int update_fd, int destination_fd, bool decode);

// The first step of rewriting a regular file in place: copies every block
// of the update after the first to the same offset of the destination and
// cuts the destination to the update's length, which copied returns. The
// destination's first block, where a dictionary keeps its header, is left
// as it was.
CopyResult copy_after_first_block(int update_fd, int destination_fd, bool decode);

// The last step: copies the update's first block to the destination's
// start. length is what copy_after_first_block returned; a first block that
// no longer fits it is a read failure (EIO): the update changed meanwhile.
CopyResult copy_first_block(int update_fd, int destination_fd, bool decode, off_t length);

// Overwrites the destination's first block (of a file length bytes long)
// with zero bytes, leaving it without a header. False with errno set when
// that fails.
bool clear_first_block(int destination_fd, off_t length);
