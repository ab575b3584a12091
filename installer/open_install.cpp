// The first part of an install: everything that is decided and opened
// before the destination is written to. A dry run stops here, having made
// the same checks that would make the real run fail.
#include "install_file.h"

#include "block_encoding.h"
#include "file_io.h"
#include "reach_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr Problem SAME_FILE{"the update is the installed file itself", "same_file"};
constexpr Problem NOT_READABLE_BY_OTHERS{"not readable by others", "not_readable_by_others"};

// A new installed file's mode, before the umask.
constexpr mode_t NEW_FILE_MODE = 0664;

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

// Why a real run could not use path as mode asks (W_OK | X_OK: make an entry
// in a directory; W_OK: open a file for writing), or 0: a read-only file
// system, say.
int access_error(const char* path, int mode) {
    return faccessat(AT_FDCWD, path, mode, AT_EACCESS) == 0 ? 0 : errno;
}

// A name that lstat finds but stat does not is a link to nothing: a real run
// could neither make a directory there nor open a file through it.
bool is_dangling_link(const char* path) {
    struct stat status {};
    return lstat(path, &status) == 0 && S_ISLNK(status.st_mode);
}

// Makes the missing directories on the way to the destination, mode 0775
// less the umask: the file's own directory, and with all_levels every
// missing level from the top, like mkdir -p. Returns the error that stops
// it (a file in the way, a link to nothing, a read-only file system), or 0.
// A dry run makes nothing and returns the error that a real run would meet.
// made_parent tells whether the file's own directory was made, which it is
// whenever any level is.
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
        if (!exists && is_dangling_link(path.data()))
            return ENOENT;
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
bool exceeds_file_size_limit(off_t length, rlim_t limit) {
    return limit != RLIM_INFINITY && static_cast<rlim_t>(length) > limit;
}

// Why a real run could not open the existing copy, open for reading as fd,
// for writing, found without writing: a read-only file system, an immutable
// or append-only file. 0 when nothing stands in the way.
int write_error(const char* path, int fd) {
    if (const int error = access_error(path, W_OK))
        return error;
    int flags = 0;
    if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
        (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0)
        return EPERM;
    return 0;
}

// The mode bits that the installed file will have: an existing copy keeps
// its own, a new file gets NEW_FILE_MODE less the umask.
mode_t installed_mode(const InstallJob& job) {
    if (job.existed)
        return job.installed_status.st_mode;
    const mode_t mask = umask(0);
    umask(mask);
    return NEW_FILE_MODE & ~mask;
}

// Ends a job that never became pending, with what it found.
void stop(InstallJob& job, Outcome outcome, int error = 0, const Problem* problem = nullptr) {
    abandon_install(job);
    job.result.outcome = outcome;
    job.result.error = error;
    job.result.problem = problem;
}

// Opens the update for reading, only when it is a regular file: opening a
// device node can make the device act, and a FIFO could hold the run. In a
// tree it is reached from the tree's top without following a link.
void open_update(const char* update_path, const struct stat* walked,
                 const InstallSettings& settings, InstallJob& job) {
    const Problem* problem = nullptr;
    // A walk that did not follow a link tells its type: nothing is read through it.
    if (walked != nullptr && S_ISLNK(walked->st_mode))
        return stop(job, Outcome::not_followed);
    if (walked != nullptr && !S_ISREG(walked->st_mode))
        return stop(job, Outcome::cannot_open_update, 0, &NOT_REGULAR);
    const FilePlace place{settings.tree >= 0 ? settings.tree : AT_FDCWD, update_path,
                          settings.tree >= 0};
    const int located = locate_file(place);
    if (located < 0 && errno == ELOOP && place.beneath)
        return stop(job, Outcome::not_followed);
    if (located < 0)
        return stop(job, Outcome::cannot_open_update, errno);
    job.update = open_located(located, place, O_RDONLY, job.update_status, problem);
    close_quietly(located);
    // A regular file put in the walked one's place since is opened as it is:
    // it lies in the tree all the same. Without /proc it is opened by its
    // path again, which may meet a link swapped in meanwhile.
    if (job.update < 0 && errno == ELOOP && place.beneath)
        return stop(job, Outcome::not_followed);
    if (job.update < 0)
        return stop(job, Outcome::cannot_open_update, problem != nullptr ? 0 : errno, problem);
}

// Looks up the destination without opening it: its type and identity, or
// that there is none.
void look_up_destination(InstallJob& job) {
    job.located = locate_file({AT_FDCWD, job.destination.data(), false});
    if (job.located < 0) {
        job.dangling = errno == ENOENT && is_dangling_link(job.destination.data());
        job.result.copy = Copy::missing;
        return;
    }
    job.existed = fstat(job.located, &job.installed_status) == 0;
    job.result.copy = job.existed ? Copy::present : Copy::missing;
    if (job.existed) {
        job.device = job.installed_status.st_dev;
        job.inode = job.installed_status.st_ino;
    }
}

// The version gate over the located copy, read-only or read-write as the
// settings say. Returns the descriptor it read, or -1; the copy's version
// text and the update's are left in the job's result.
int run_gate(const InstallSettings& settings, InstallJob& job, bool& current) {
    VersionTexts& texts = job.result.texts;
    int reading = -1;
    if (job.existed) {
        struct stat status {};
        const Problem* problem = nullptr;
        reading = open_located(job.located, {AT_FDCWD, job.destination.data(), false},
                               settings.gate_reads_only ? O_RDONLY : O_RDWR, status, problem,
                               &job.installed_status);
    }
    if (!job.assumed_version) {
        current = installed_is_current(job.update, job.update_path(), reading, texts);
        return reading;
    }
    texts.installed_text = *job.assumed_version;
    std::array<char, VERSION_DIGITS_SIZE> digits{};
    VersionText text{};
    const VersionValue installed = parse_version_token(texts.installed_text.data(), text, digits);
    current =
        is_current(installed, update_version(job.update, job.update_path(), texts.update_text));
    return reading;
}

// Opens the destination for writing: the copy that was located, or a new
// file (mode 0664, less the umask). Only a file that this open created
// counts as created, so a failed run never removes a file that another
// process made.
int open_destination(InstallJob& job, const Problem*& problem) {
    constexpr int flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const char* path = job.destination.data();
    // What the lookup found of a copy that existed then.
    const struct stat seen = job.installed_status;
    const struct stat* known = job.existed ? &seen : nullptr;
    if (!job.existed) {
        const int fd = open(path, flags | O_CREAT | O_EXCL, NEW_FILE_MODE);
        if (fd >= 0 || errno != EEXIST) {
            job.created = fd >= 0;
            if (fd >= 0 && fstat(fd, &job.installed_status) != 0) {
                close_quietly(fd);
                unlink(path);
                return -1;
            }
            return fd;
        }
        // Made by another process meanwhile.
        job.existed = true;
        job.located = locate_file({AT_FDCWD, path, false});
        if (job.located < 0)
            return -1;
    }
    return open_located(job.located, {AT_FDCWD, path, false}, O_WRONLY, job.installed_status,
                        problem, known);
}

} // namespace

rlim_t current_file_size_limit() {
    struct rlimit limit {};
    return getrlimit(RLIMIT_FSIZE, &limit) == 0 ? limit.rlim_cur : RLIM_INFINITY;
}

void start_install(const char* update_path, const struct stat* walked,
                   const InstallSettings& settings, InstallJob& job) {
    job = InstallJob{};
    if (!form_destination(update_path, job.destination))
        return stop(job, Outcome::write_failed, ENAMETOOLONG);
    open_update(update_path, walked, settings, job);
    if (job.update >= 0)
        look_up_destination(job);
}

void open_install(const InstallSettings& settings, InstallJob& job) {
    bool current = false;
    const int reading = run_gate(settings, job, current);
    const auto end = [&](Outcome outcome, int error = 0, const Problem* problem = nullptr) {
        close_quietly(reading);
        stop(job, outcome, error, problem);
    };
    if (current && !settings.force)
        return end(Outcome::current);
    if (job.existed && !S_ISREG(job.installed_status.st_mode))
        return end(Outcome::write_failed, 0, &NOT_REGULAR);
    // Decoding a file onto itself would destroy it.
    if (job.existed && same_file(job.installed_status, job.update_status))
        return end(Outcome::write_failed, 0, &SAME_FILE);
    if (job.dangling)
        return end(Outcome::write_failed, ENOENT);
    // A file that others may not read (a hard link to a secret, or a tree
    // swapped for another) must not become one that all may read.
    if (settings.keep_private && (job.update_status.st_mode & S_IROTH) == 0 &&
        (installed_mode(job) & S_IROTH) != 0)
        return end(Outcome::kept_private, 0, &NOT_READABLE_BY_OTHERS);
    // Reading the copy costs far less than rewriting it, and a run over an
    // unchanged tree then changes nothing. In a dry run, a copy that an
    // earlier file would have rewritten is not what it holds now.
    if (settings.compare_contents && reading >= 0 && !job.assumed_version &&
        job.installed_status.st_size == job.update_status.st_size &&
        same_contents(job.update, reading, is_ejd_name(job.destination.data()),
                      job.update_status.st_size)) {
        job.result.same_contents = true;
        return end(Outcome::current);
    }
    if (!job.existed) {
        const int error = make_directories(job.destination, settings, job.made_parent);
        job.result.changed = job.made_parent;
        if (error != 0)
            return end(Outcome::write_failed, error);
    }
    if (exceeds_file_size_limit(job.update_status.st_size, settings.file_size_limit))
        return end(Outcome::write_failed, EFBIG);
    if (settings.dry_run) {
        if (const int error = job.existed ? write_error(job.destination.data(), reading) : 0)
            return end(Outcome::write_failed, error);
        job.result.changed = true;
        return end(job.existed ? Outcome::updated : Outcome::added);
    }
    close_quietly(reading);

    const Problem* problem = nullptr;
    job.installed = open_destination(job, problem);
    close_quietly(job.located);
    job.located = -1;
    if (job.installed < 0)
        return stop(job, Outcome::write_failed, problem != nullptr ? 0 : errno, problem);
    job.result.outcome = job.existed ? Outcome::updated : Outcome::added;
    job.device = job.installed_status.st_dev;
    job.inode = job.installed_status.st_ino;
    job.decode = is_ejd_name(job.destination.data());
    if (same_file(job.installed_status, job.update_status)) {
        fail_job(job, 0, &SAME_FILE);
        abandon_install(job);
    }
}

void abandon_install(InstallJob& job) {
    // Nothing has been written yet, so only a file that this job made is undone.
    if (job.installed >= 0 && job.created)
        unlink(job.destination.data());
    for (int* fd : {&job.update, &job.located, &job.installed}) {
        close_quietly(*fd);
        *fd = -1;
    }
}
