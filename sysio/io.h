// One small helper a system-call pattern: whole-buffer reads and writes,
// reservations, flushes and status. Each retries what EINTR interrupted
// and returns the error number of the call that failed (0: none), so that
// no caller reads an errno that another function set.
#pragma once

#include <cerrno>
#include <cstddef>
#include <span>
#include <string>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

// Calls call until it is not interrupted, and returns what it returned.
template <typename Call>
auto retry_eintr(Call call) {
    for (;;) {
        const auto result = call();
        if (!(result < 0 && errno == EINTR))
            return result;
    }
}

struct IoResult {
    std::size_t count = 0; // bytes moved
    int error = 0;         // the error number that stopped it, or 0
};

// One read, as many bytes as it gives.
IoResult read_some(int fd, std::span<unsigned char> buffer);
// Reads until buffer is full or the file ends; only the last read of a
// file comes short.
IoResult read_full(int fd, std::span<unsigned char> buffer);
// One read at offset, as many bytes as it gives.
IoResult pread_some(int fd, std::span<unsigned char> buffer, off_t offset);
// Reads at offset until buffer is full or the file ends.
IoResult pread_full(int fd, std::span<unsigned char> buffer, off_t offset);

// Writes every byte, looping over partial writes; a write that places
// nothing is ENOSPC.
int write_all(int fd, std::span<const unsigned char> bytes);
int write_all_at(int fd, std::span<const unsigned char> bytes, off_t offset);

// Copies everything that from gives, to its end, onto to.
int copy_all(int from, int to);

// Reserves the blocks that the file needs to grow from its length from to
// length, without changing its size or contents. A file system that cannot
// reserve is no failure: 0 then.
int reserve_space(int fd, off_t from, off_t length);

// Cuts the file to length.
int cut_to(int fd, off_t length);

// Starts writing back the span [from, from + length) without waiting: a
// hint, whose failure shows in the flush that follows.
void start_writeback(int fd, off_t from, off_t length);

int flush_data(int fd);        // fdatasync
int flush_file(int fd);        // fsync, for a directory's entries
int flush_file_system(int fd); // syncfs

// Puts bytes at name below the directory open as dir, crash-safely: a new
// file beside it written and flushed, renamed over it, the directory
// flushed. The old file stays whole until the new one is. The error
// number, or 0 (the new file removed again).
int replace_file(int dir, const char* name, std::span<const unsigned char> bytes, mode_t mode);

int status_of(int fd, struct stat& status);

// A read lease on the file open (read-only) as fd: no one may open it for
// writing until fd is closed, and one who does breaks the lease.
bool take_read_lease(int fd);
bool read_lease_held(int fd);
// Why the process could not use the file name below dir (".": dir itself) as
// mode asks (W_OK | X_OK: make an entry in it; W_OK: open it for writing),
// checked with its effective IDs; 0 when it could.
int access_error(int dir, const char* name, int mode);
int file_system_of(int fd, struct statfs& status);

// The extended attributes that hold a file's access ACL, and a directory's
// default ACL, which new files in it inherit.
inline constexpr char ACCESS_ACL[] = "system.posix_acl_access";
inline constexpr char DEFAULT_ACL[] = "system.posix_acl_default";
// Whether the file open as fd (not O_PATH) has the ACL named.
bool has_acl(int fd, const char* acl);

// True when both status records describe the same file.
inline bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when they describe the same file as it was: the same length and
// modification and change times. A write changes the change time even when
// the modification time is put back.
inline bool same_file_unchanged(const struct stat& a, const struct stat& b) {
    return same_file(a, b) && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}
