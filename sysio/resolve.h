// The one way a path is turned into a descriptor, under a policy for the
// symbolic links met on the way: none at all and never leaving where the
// path starts (an update tree that someone else may change), only those
// that root owns (the tree's own top, named on root's command line), or any,
// as the system follows them (the dictionary, which is root's). Whatever is
// found, nothing but a regular file is opened for reading or writing: a
// file is first located with O_PATH, which runs no device driver and waits
// for no FIFO, its type checked on that descriptor, and only then is the
// same inode opened through /proc/self/fd.
#pragma once

#include "fd.h"

#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

enum class Links {
    none,       // a link anywhere on the way fails the lookup, which stays below its start
    root_owned, // a link is followed only when root owns it
    any,        // as the system follows them
};

struct Resolved {
    UniqueFd fd;
    int error = 0;     // why it failed, or 0
    bool link = false; // the failure is a link that the policy does not follow
    std::string where; // with an error: the path as far as it was resolved
};

// Opens path below the directory start (AT_FDCWD: the current directory)
// with flags (O_PATH to locate it, O_RDONLY | O_DIRECTORY to list it),
// following links as links says. With Links::none this is openat2 with
// RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH, or where the kernel lacks it, one
// component at a time with O_NOFOLLOW; a link met there, whichever
// component it is, is a link all the same. With Links::root_owned the path
// names a directory, resolved from the current directory (or the root, for
// an absolute path) whatever start is, and where tells which link or path
// failed.
Resolved resolve(int start, std::string_view path, Links links, int flags);

// The deepest directory that exists on the way to the directory path
// (absolute, links followed as the system follows them), opened for
// reading, and the components below it that do not exist yet (empty when
// the whole path exists). error: something other than a directory is in
// the way (ENOTDIR), the first missing level is a link to nothing (ENOENT:
// nothing is ever made through one), or a lookup failed.
struct Existing {
    UniqueFd directory;
    std::string missing;
    int error = 0;
};
Existing deepest_existing(std::string_view path);

// Makes the components of missing below directory one at a time with mode
// (less the umask), opening each without following a link. made_in is the
// directory in which the last component was made.
struct Made {
    UniqueFd directory;
    UniqueFd made_in;
    int error = 0;
};
Made make_levels(UniqueFd directory, std::string_view missing, mode_t mode);

// Opens the file that located refers to with flags, only when it is a
// regular file, and gives its status. seen, when given, is what fstat found
// of located already and becomes the status; otherwise it is fstat of the
// file opened. Where /proc is not mounted the file is opened again by
// place (path below dir, under links), non-blocking, and fstat confirms
// that it is the file located.
struct Place {
    int dir;
    const char* path;
    Links links;
};
struct Opened {
    UniqueFd fd;
    struct stat status {};
    int error = 0;
    bool not_regular = false; // a directory, device, FIFO or socket, or replaced by one
    bool link = false;        // opened again by its path, it had become a link
};
Opened open_regular(int located, const Place& place, int flags, const struct stat* seen = nullptr);
