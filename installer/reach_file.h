// Reaching a file so that nothing but a regular file is ever opened for
// reading or writing, whatever is swapped in meanwhile: the file is first
// located with O_PATH, which runs no device driver and waits for no FIFO,
// its type is checked on that descriptor, and only then is the same inode
// opened through /proc/self/fd.
#pragma once

#include <sys/stat.h>

// Where a file is: path relative to dir (AT_FDCWD: the current directory).
// With beneath, the file is reached from dir without following any link and
// without leaving dir; otherwise links are followed as the system follows
// them.
struct FilePlace {
    int dir;
    const char* path;
    bool beneath;
};

// A failure that no error number names: its text, and a fixed word for
// programs that read the outcome.
struct Problem {
    const char* text;
    const char* code;
};

// The problem of a path that holds something else than a regular file.
inline constexpr Problem NOT_REGULAR{"not a regular file", "not_regular"};

// An O_PATH descriptor of the file at place, or -1 with errno set: ELOOP
// where a path reached beneath meets a symbolic link, whichever component
// it is.
int locate_file(const FilePlace& place);

// Opens the file that located (from locate_file) refers to, with flags, only
// when it is a regular file, and returns the descriptor with status holding
// what is open. Otherwise -1 with errno set, and problem set where the file
// is not a regular file or was replaced meanwhile. seen, when given, is
// what fstat found of located already, and becomes status; otherwise status
// is what fstat finds of the file opened. place is used only where /proc
// is not mounted: the file is then opened by its path again, non-blocking,
// and fstat confirms that it is the file located.
int open_located(int located, const FilePlace& place, int flags, struct stat& status,
                 const Problem*& problem, const struct stat* seen = nullptr);

// Opens path below top with flags, following no link and never leaving top:
// openat2 with RESOLVE_NO_SYMLINKS and RESOLVE_BENEATH, or where the kernel
// lacks it, one component at a time with O_NOFOLLOW. -1 with errno set
// (ELOOP for a link on the way, EXDEV for a path that would leave top).
int open_beneath(int top, const char* path, int flags);

// Closes fd, if open, keeping errno as it was.
void close_quietly(int fd);
