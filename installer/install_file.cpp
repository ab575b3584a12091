#include "install_file.h"

#include "block_encoding.h"
#include "copy_update.h"
#include "file_io.h"
#include "process_guard.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

// Keeps fd, opened with O_NONBLOCK so that no FIFO or device could hold the
// run, when it is a regular file, and then lets it block again. Otherwise
// closes it and returns -1, with problem set when the type was the reason.
int keep_if_regular(int fd, struct stat& status, const char*& problem) {
    if (fd < 0)
        return -1;
    if (fstat(fd, &status) == 0) {
        const int flags = fcntl(fd, F_GETFL);
        if (!S_ISREG(status.st_mode))
            problem = NOT_REGULAR;
        else if (flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0)
            return fd;
    }
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
}

// The destination, created (mode 0664, less the umask) when it did not
// exist. Only a file that this open created counts as created, so a failed
// run never removes a file that another process made meanwhile.
int open_destination(InstallJob& job, struct stat& status, const char*& problem) {
    constexpr int flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = -1;
    if (!job.existed) {
        fd = open(job.destination.data(), flags | O_CREAT | O_EXCL, 0664);
        job.created = fd >= 0;
    }
    if (fd < 0 && (job.existed || errno == EEXIST))
        fd = open(job.destination.data(), flags | O_CREAT, 0664);
    fd = keep_if_regular(fd, status, problem);
    if (fd < 0 && job.created) {
        const int error = errno;
        unlink(job.destination.data());
        errno = error;
    }
    return fd;
}

// Makes the missing directories on the way to the destination, mode 0775
// less the umask: the file's own directory, and with all_levels every level
// from the dictionary root down to it. Failures are left for the open of the
// file to report. In a dry run nothing is made; the result is the error that
// a real run would meet, or 0. made_parent tells whether the file's own
// directory was made.
int make_directories(const PathBuffer& destination, const InstallSettings& settings,
                     bool& made_parent) {
    PathBuffer path = destination;
    char* const last = std::strrchr(path.data(), '/');
    char* slash = settings.all_levels ? path.data() + DICTIONARY_ROOT.size() : last;
    for (; slash != nullptr && slash <= last; slash = std::strchr(slash + 1, '/')) {
        *slash = '\0';
        struct stat status {};
        const bool exists = stat(path.data(), &status) == 0;
        if (settings.dry_run && exists && !S_ISDIR(status.st_mode))
            return ENOTDIR;
        if (settings.dry_run && !exists)
            return 0; // this level and every one below it would be made
        made_parent = !exists && mkdir(path.data(), 0775) == 0;
        *slash = '/';
    }
    return 0;
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
        static_cast<rlim_t>(length) > limit.rlim_cur) {
        errno = EFBIG;
        return false;
    }
    int rc = 0;
    do
        rc = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, length);
    while (rc != 0 && errno == EINTR);
    return rc == 0 || errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL;
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

bool failed(const InstallJob& job) {
    return job.result.outcome == Outcome::write_failed;
}

// Flushes the directory at path: the entry made in it reaches the disk.
bool flush_directory(PathBuffer path) {
    *std::strrchr(path.data(), '/') = '\0';
    const int fd = open(path.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool flushed = fsync(fd) == 0;
    const int error = errno;
    close(fd);
    errno = error;
    return flushed;
}

// Flushes a pending job's data, and the directory entries that it made.
// False with errno set when a flush fails.
bool flush_data(const InstallJob& job) {
    return fdatasync(job.installed) == 0;
}

bool flush_new_entries(const InstallJob& job) {
    if (!job.created)
        return true;
    PathBuffer path = job.destination;
    if (!flush_directory(path))
        return false;
    if (!job.made_parent)
        return true;
    *std::strrchr(path.data(), '/') = '\0';
    return flush_directory(path);
}

} // namespace

void begin_install(const char* update_path, const InstallSettings& settings, InstallJob& job) {
    job = InstallJob{};
    if (!form_destination(update_path, job.destination))
        return stop(job, Outcome::write_failed, ENAMETOOLONG);

    struct stat update_status {};
    const char* problem = nullptr;
    job.update = keep_if_regular(open(update_path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC),
                                 update_status, problem);
    if (job.update < 0)
        return stop(job, Outcome::cannot_open_update, problem != nullptr ? 0 : errno, problem);

    const bool current = installed_is_current(job.update, update_path, job.destination.data());
    job.result.texts = version_texts;
    if (current)
        return stop(job, Outcome::current);

    struct stat installed_status {};
    job.existed = stat(job.destination.data(), &installed_status) == 0;
    if (job.existed && !S_ISREG(installed_status.st_mode))
        return stop(job, Outcome::write_failed, 0, NOT_REGULAR);
    // Decoding a file onto itself would destroy it.
    if (job.existed && same_file(installed_status, update_status))
        return stop(job, Outcome::write_failed, 0, SAME_FILE);
    const Outcome success = job.existed ? Outcome::updated : Outcome::added;
    if (!job.existed) {
        if (const int error = make_directories(job.destination, settings, job.made_parent))
            return stop(job, Outcome::write_failed, error);
    }
    if (settings.dry_run)
        return stop(job, success);

    job.installed = open_destination(job, installed_status, problem);
    if (job.installed < 0)
        return stop(job, Outcome::write_failed, problem != nullptr ? 0 : errno, problem);
    job.result.outcome = success;
    job.device = installed_status.st_dev;
    job.decode = is_ejd_name(job.destination.data());
    if (same_file(installed_status, update_status)) {
        fail_job(job, 0, SAME_FILE);
        return end_install(job);
    }

    // The installed copy is rewritten in place, keeping its inode, mode, owner
    // and links. Its first block, which holds the header, is written last: a
    // copy cut short at any moment keeps the old header, so the next run sees
    // it out of date and installs the update whole.
    hold_signals();
    const CopyResult copy = reserve_space(job.installed, update_status.st_size)
                                ? copy_after_first_block(job.update, job.installed, job.decode)
                                : CopyResult{0, CopyFailure::write};
    if (copy.failure != CopyFailure::none) {
        fail_job(job, errno);
        return end_install(job);
    }
    job.length = copy.copied;
}

void write_header_block(InstallJob& job) {
    if (!job.pending() || failed(job))
        return;
    job.header_written = true;
    if (copy_first_block(job.update, job.installed, job.decode, job.length).failure !=
        CopyFailure::none)
        fail_job(job, errno);
}

void end_install(InstallJob& job) {
    if (!job.pending())
        return;
    // A header that may already show would make the next run call the
    // failed copy current.
    if (failed(job) && job.header_written && !job.created &&
        clear_first_block(job.installed, job.length))
        (void)fdatasync(job.installed);
    close(job.update);
    if (close(job.installed) != 0 && !failed(job))
        fail_job(job, errno);
    job.update = job.installed = -1;
    if (failed(job) && job.created)
        unlink(job.destination.data());
}

void fail_job(InstallJob& job, int error, const char* problem) {
    job.result.outcome = Outcome::write_failed;
    job.result.error = error;
    job.result.problem = problem;
}

InstallResult install_file(const char* update_path, const InstallSettings& settings) {
    InstallJob job;
    begin_install(update_path, settings, job);
    if (!job.pending())
        return job.result;
    if (!flush_data(job))
        fail_job(job, errno);
    write_header_block(job);
    if (!failed(job) && !(flush_data(job) && flush_new_entries(job)))
        fail_job(job, errno);
    end_install(job);
    return job.result;
}
