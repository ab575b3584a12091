// Dictionary update files travel in an encoded form: the file is cut into
// BLOCK_SIZE-byte blocks and each block is stored reversed with every byte
// complemented. Files whose names end in ".ejd" carry this encoding.
#pragma once

#include <cstddef>
#include <span>
#include <sys/types.h>

inline constexpr std::size_t BLOCK_SIZE = 8192;

// True when path is longer than 4 bytes and ends in ".ejd" (case-sensitive).
bool is_ejd_name(const char* path);

// Writes out[i] = ~in[n-1-i] for i in [0, n). A count of 0 or less writes
// nothing. n is at most BLOCK_SIZE; in and out must not overlap. The
// transform is its own inverse, so it also encodes.
void decode_block(const unsigned char* in, ssize_t n, unsigned char* out);

// decode_block without vector instructions: what decode_block does on
// processors without AVX2. Same contract.
void decode_block_portable(const unsigned char* in, ssize_t n, unsigned char* out);

// Decodes in, which starts at a block boundary of its file, block by block
// into out (in.size() bytes): a chunk of whole blocks, or the file's last
// ones. The transform is its own inverse, so it also encodes.
void decode_blocks(std::span<const unsigned char> in, unsigned char* out);
