// The first part of an install: everything that is decided and opened
// before the destination is written to. A dry run stops here, having made
// the same checks that would make the real run fail.
#include "install_file.h"

#include "block_encoding.h"
#include "file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr char NOT_REGULAR[] = "not a regular file";
constexpr char SAME_FILE[] = "the update is the installed file itself";

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

bool is_regular(const struct stat& status) {
    return S_ISREG(status.st_mode);
}

// Keeps fd when it is the regular file that expected describes. Otherwise
// closes it and returns -1, with problem set when the file was not the one
// expected. fd was opened with O_NONBLOCK, so that nothing swapped in since
// the stat could hold the run; for a regular file the flag changes nothing.
int keep_if_expected(int fd, const struct stat& expected, struct stat& status,
                     const char*& problem) {
    if (fd < 0)
        return -1;
    if (fstat(fd, &status) == 0) {
        if (is_regular(status) && same_file(status, expected))
            return fd;
        problem = NOT_REGULAR;
    }
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
}

// Opens path with flags only when seen, what stat found there, is a regular
// file, and keeps it only when fstat then finds that same file.
int open_regular(const char* path, int flags, const struct stat& seen, struct stat& status,
                 const char*& problem) {
    if (!is_regular(seen)) {
        problem = NOT_REGULAR;
        return -1;
    }
    return keep_if_expected(open(path, flags), seen, status, problem);
}

// Why a real run could not use path as mode asks (W_OK | X_OK: make an entry
// in a directory; W_OK: open a file for writing), or 0: a read-only file
// system, say.
int access_error(const char* path, int mode) {
    return faccessat(AT_FDCWD, path, mode, AT_EACCESS) == 0 ? 0 : errno;
}

// Makes the missing directories on the way to the destination, mode 0775
// less the umask: the file's own directory, and with all_levels every
// missing level from the top, like mkdir -p. Returns the error that stops
// it (a file in the way, a read-only file system), or 0. A dry run makes
// nothing and returns the error that a real run would meet. made_parent
// tells whether the file's own directory was made.
int make_directories(const PathBuffer& destination, const InstallSettings& settings,
                     bool& made_parent) {
    PathBuffer path = destination;
    char* const last = std::strrchr(path.data(), '/');
    *last = '\0';
    struct stat status {};
    if (stat(path.data(), &status) == 0) {
        if (!S_ISDIR(status.st_mode))
            return ENOTDIR;
        return settings.dry_run ? access_error(path.data(), W_OK | X_OK) : 0;
    }
    *last = '/';
    char* slash = settings.all_levels ? std::strchr(path.data() + 1, '/') : last;
    for (; slash != nullptr && slash <= last; slash = std::strchr(slash + 1, '/')) {
        *slash = '\0';
        const bool exists = stat(path.data(), &status) == 0;
        if (exists && !S_ISDIR(status.st_mode))
            return ENOTDIR;
        if (!exists && settings.dry_run) {
            // This level and every one below it would be made in the one above.
            char* const above = std::strrchr(path.data(), '/');
            if (above == path.data())
                return access_error("/", W_OK | X_OK);
            *above = '\0';
            return access_error(path.data(), W_OK | X_OK);
        }
        if (!exists) {
            if (mkdir(path.data(), 0775) == 0)
                made_parent = slash == last;
            else if (errno != EEXIST)
                return errno;
        }
        *slash = '/';
    }
    return 0;
}

// A file-size limit below the update's length would stop the copy halfway;
// it counts as a lack of space, before anything is written.
bool exceeds_file_size_limit(off_t length) {
    struct rlimit limit {};
    return getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
           static_cast<rlim_t>(length) > limit.rlim_cur;
}

// Opens the update for reading, only when it is a regular file: opening a
// device node can make the device act, and a FIFO could hold the run.
int open_update(const char* update_path, const struct stat* walked, const InstallSettings& settings,
                struct stat& status, const char*& problem) {
    struct stat seen {};
    if (walked != nullptr)
        seen = *walked;
    else if (stat(update_path, &seen) != 0)
        return -1;
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    return open_regular(update_path, settings.follow_links ? flags : flags | O_NOFOLLOW, seen,
                        status, problem);
}

// Opens the destination for writing, creating it (mode 0664, less the umask)
// when it did not exist. Only a file that this open created counts as
// created, so a failed run never removes a file that another process made.
// An existing file is opened only when stat found a regular file there;
// status holds what it found, and then what is open.
int open_destination(InstallJob& job, struct stat& status, const char*& problem) {
    constexpr int flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const char* path = job.destination.data();
    struct stat seen = status;
    if (!job.existed) {
        const int fd = open(path, flags | O_CREAT | O_EXCL, 0664);
        if (fd >= 0 || errno != EEXIST) {
            job.created = fd >= 0;
            if (fd >= 0 && fstat(fd, &status) != 0) {
                const int error = errno;
                close(fd);
                unlink(path);
                errno = error;
                return -1;
            }
            return fd;
        }
        // Made by another process meanwhile.
        job.existed = true;
        if (stat(path, &seen) != 0)
            return -1;
    }
    return open_regular(path, flags, seen, status, problem);
}

// Ends a job that never became pending, with what it found.
void stop(InstallJob& job, Outcome outcome, int error = 0, const char* problem = nullptr) {
    if (job.update >= 0)
        close(job.update);
    job.update = -1;
    job.result.outcome = outcome;
    job.result.error = error;
    job.result.problem = problem;
}

} // namespace

void open_install(const char* update_path, const struct stat* walked,
                  const InstallSettings& settings, InstallJob& job) {
    job = InstallJob{};
    if (!form_destination(update_path, job.destination))
        return stop(job, Outcome::write_failed, ENAMETOOLONG);

    // A walk that did not follow the link tells its type: nothing is read through it.
    if (walked != nullptr && S_ISLNK(walked->st_mode))
        return stop(job, Outcome::not_followed);
    const char* problem = nullptr;
    job.update = open_update(update_path, walked, settings, job.update_status, problem);
    if (job.update < 0) {
        if (problem == nullptr && errno == ELOOP && !settings.follow_links)
            return stop(job, Outcome::not_followed);
        return stop(job, Outcome::cannot_open_update, problem != nullptr ? 0 : errno, problem);
    }

    const bool current =
        installed_is_current(job.update, update_path, job.destination.data(), job.result.texts);
    if (current && !settings.force)
        return stop(job, Outcome::current);

    struct stat installed_status {};
    job.existed = stat(job.destination.data(), &installed_status) == 0;
    if (job.existed && !is_regular(installed_status))
        return stop(job, Outcome::write_failed, 0, NOT_REGULAR);
    // Decoding a file onto itself would destroy it.
    if (job.existed && same_file(installed_status, job.update_status))
        return stop(job, Outcome::write_failed, 0, SAME_FILE);
    if (!job.existed) {
        if (const int error = make_directories(job.destination, settings, job.made_parent))
            return stop(job, Outcome::write_failed, error);
    }
    if (exceeds_file_size_limit(job.update_status.st_size))
        return stop(job, Outcome::write_failed, EFBIG);
    if (settings.dry_run) {
        if (const int error = job.existed ? access_error(job.destination.data(), W_OK) : 0)
            return stop(job, Outcome::write_failed, error);
        return stop(job, job.existed ? Outcome::updated : Outcome::added);
    }

    job.installed = open_destination(job, installed_status, problem);
    if (job.installed < 0)
        return stop(job, Outcome::write_failed, problem != nullptr ? 0 : errno, problem);
    job.result.outcome = job.existed ? Outcome::updated : Outcome::added;
    job.device = installed_status.st_dev;
    job.inode = installed_status.st_ino;
    job.decode = is_ejd_name(job.destination.data());
    if (same_file(installed_status, job.update_status)) {
        fail_job(job, 0, SAME_FILE);
        abandon_install(job);
    }
}

void abandon_install(InstallJob& job) {
    // Nothing has been written yet, so only a file that this job made is undone.
    if (!job.pending())
        return;
    close(job.update);
    close(job.installed);
    if (job.created)
        unlink(job.destination.data());
    job.update = job.installed = -1;
}
