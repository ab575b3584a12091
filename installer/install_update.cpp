#include "install_update.h"

#include "block_encoding.h"
#include "copy_update.h"
#include "file_io.h"
#include "messages.h"
#include "version_gate.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Holds the destination path with its terminator.
constexpr std::size_t PATH_SIZE = 1024;
using PathBuffer = std::array<char, PATH_SIZE>;

// Forms DICTIONARY_ROOT, "/" and the argument, byte for byte. False when the
// result does not fit, so that a long argument can never overflow the path.
bool form_destination(std::string_view argument, PathBuffer& destination) {
    if (DICTIONARY_ROOT.size() + 1 + argument.size() >= destination.size())
        return false;
    char* end = std::copy(DICTIONARY_ROOT.begin(), DICTIONARY_ROOT.end(), destination.data());
    *end++ = '/';
    end = std::copy(argument.begin(), argument.end(), end);
    *end = '\0';
    return true;
}

// The destination always holds the root's slashes, so this is the text behind the last one.
const char* last_component(const char* path) {
    return std::strrchr(path, '/') + 1;
}

// Makes the destination's own directory when it is missing, and only that
// one: a missing directory above it makes mkdir fail, and the open that
// follows reports the failure.
void make_parent_directory(const PathBuffer& destination) {
    PathBuffer parent = destination;
    *std::strrchr(parent.data(), '/') = '\0';
    struct stat status {};
    if (stat(parent.data(), &status) != 0)
        (void)mkdir(parent.data(), 0775);
}

int refuse(const char* message) {
    (void)std::fputs(message, stdout);
    return 1;
}

// True when path itself (not a link to it) is the file described by status.
bool path_names(const PathBuffer& path, const struct stat& status) {
    struct stat link_status {};
    return lstat(path.data(), &link_status) == 0 && S_ISREG(link_status.st_mode) &&
           same_file(link_status, status);
}

// Reserves the blocks for length bytes without changing the file's size or
// contents. Only a lack of space or another real failure counts: a file
// system that cannot reserve goes on without it. A file-size limit below the
// length counts as a lack of space, since the copy would stop halfway.
bool reserve_space(int fd, off_t length) {
    if (length <= 0)
        return true;
    struct rlimit limit {};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(length) > limit.rlim_cur)
        return false;
    int rc = 0;
    do
        rc = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, length);
    while (rc != 0 && errno == EINTR);
    return rc == 0 || errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL;
}

// Reports a failed write. A file that this run created is removed again, so
// that a failure leaves no partial dictionary behind.
int abandon(const PathBuffer& destination, bool created) {
    if (created)
        unlink(destination.data());
    return refuse(msg_write_failed);
}

} // namespace

int install_update(int argc, char** argv) {
    if (getuid() != 0)
        return refuse(msg_need_root);
    if (argc != 2) {
        std::printf(msg_usage, argc > 0 ? argv[0] : "vora-dict-update");
        return 1;
    }
    const char* argument = argv[1];
    PathBuffer destination;
    if (!form_destination(argument, destination))
        return refuse(msg_write_failed);
    const char* name = last_component(destination.data());

    if (installed_is_current(argument, destination.data())) {
        std::printf(msg_already_current, name, version_texts.installed_text.data(),
                    version_texts.update_text.data());
        return 0;
    }

    const int update = open(argument, O_RDONLY | O_CLOEXEC);
    if (update < 0)
        return refuse(msg_cannot_open_update);
    // A directory opens but holds no data; turn it away before anything is made.
    struct stat update_status {};
    if (fstat(update, &update_status) != 0 || S_ISDIR(update_status.st_mode))
        return refuse(msg_cannot_open_update);

    struct stat destination_status {};
    const bool existed = stat(destination.data(), &destination_status) == 0;
    if (!existed)
        make_parent_directory(destination);

    // The installed copy is rewritten in place, keeping its inode, mode, owner
    // and links, but only once the room for the update is reserved: a disk too
    // full for it fails before a byte of the old copy is lost.
    const int installed = open(destination.data(), O_WRONLY | O_CREAT | O_CLOEXEC, 0664);
    if (installed < 0)
        return refuse(msg_write_failed);
    struct stat installed_status {};
    if (fstat(installed, &installed_status) != 0)
        return refuse(msg_write_failed);
    // Decoding a file onto itself would destroy it.
    if (same_file(installed_status, update_status))
        return refuse(msg_write_failed);
    const bool created = !existed && path_names(destination, installed_status);
    const bool regular = S_ISREG(installed_status.st_mode);
    if (regular &&
        !reserve_space(installed, S_ISREG(update_status.st_mode) ? update_status.st_size : 0))
        return abandon(destination, created);

    const CopyResult copy = copy_update(update, installed, is_ejd_name(destination.data()));
    close(update);
    // Cutting at the copied length drops the tail of a longer old copy.
    if (copy.failure != CopyFailure::none || (regular && ftruncate(installed, copy.copied) != 0) ||
        close(installed) != 0)
        return abandon(destination, created);

    std::printf(existed ? msg_updated : msg_added, name);
    return 0;
}
