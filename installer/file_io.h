// Whole-buffer reads and writes over descriptors, retried after EINTR.
#pragma once

#include <cstddef>
#include <sys/stat.h>
#include <sys/types.h>

// Reads until size bytes are in or the file ends; returns the count, or -1
// on a read error with errno set. Only the last read of a file comes short.
ssize_t read_full(int fd, unsigned char* buf, std::size_t size);

// Writes all size bytes, looping over partial writes. False with errno set
// when a write fails or can place no more bytes.
bool write_all(int fd, const unsigned char* buf, std::size_t size);

// write_all at offset, leaving the file offset as it was.
bool write_all_at(int fd, const unsigned char* buf, std::size_t size, off_t offset);

// True when both status records describe the same file.
inline bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
