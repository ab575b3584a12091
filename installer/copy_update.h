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
