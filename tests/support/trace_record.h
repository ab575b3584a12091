// One record of the fault injector's trace, followed by size bytes for a
// write.
#pragma once

#include <cstdint>

struct TraceRecord {
    char kind;           // 'W' write, 'T' ftruncate, 'F' flush of a file, 'S' of all, 'L' link
    std::uint64_t inode; // the file's; 0 with 'S'
    std::int64_t offset; // where a write began; a truncation's length
    std::uint64_t size;  // bytes written
};
