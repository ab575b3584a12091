// A test-only LD_PRELOAD shim that makes chosen calls of read, write,
// fallocate, close, fdatasync, fsync, syncfs, ftruncate, open, openat,
// openat2 or linkat misbehave, so that every failure path of the tool can be
// forced in a real run.
//
// VDU_FAULTS holds rules separated by commas, each CALL[:TARGET]@N=KIND: the
// Nth call (counted from 1; * for every one) of CALL made directly by the
// program, among those that touch TARGET, behaves as KIND. TARGET names
// what the call touches, by the descriptor it is given (or the path it
// opens), so that a rule does not move when calls on other files come and
// go; without one, every call of CALL counts:
//   installed   the installed file open for writing only (below the dictionary
//               root, O_WRONLY or an unnamed new file): not the version
//               gate's look at it, which may ask for reading and writing
//   dictionary  anything open below the dictionary root or the root itself,
//               directories included, but for a mere O_PATH lookup
//   update      a file of the run's input: a regular file that is neither
//               below the dictionary root nor in the system's own
//               directories, opened for reading (an update, an archive)
//   lock        the run's lock file
//   PATTERN     a path that matches the shell pattern (it holds a "/"), an
//               O_PATH lookup included
// KIND is one of
//   EIO, ENOSPC, EINTR, EOPNOTSUPP, ENOSYS, EEXIST  fail with that errno, doing nothing
//   short                           read or write only half of the bytes
//   zero                            write: return 0, placing nothing
//   kill, term, stop                SIGKILL, SIGTERM or SIGSTOP is sent to the
//                                   process first
//   cutK                            write: place at most K bytes, then SIGKILL
//   rewrite                         read: first write the file's first byte back
//                                   in place, as an editor saving it would, and
//                                   put its modification time back (a read lease
//                                   on the file is broken, and nothing written)
//   alter                           read: first change the file's first byte, and
//                                   from then on fstat shows the file's times as
//                                   they were, as within one tick of a coarse clock
//   slowN                           read: first pause N milliseconds
//   grow                            read: first append a MiB to the file, which
//                                   is cut back to its length when the process exits
//   swap                            first rename the path PATH of VDU_SWAP (set to
//                                   PATH=>TARGET) away and put a link to TARGET
//                                   in its place, undone when the process exits;
//                                   any other rule for the call holds too
// openat2 is the system call, made through syscall(). Calls that the C
// library makes internally (stdio's own reads) are not seen.
//
// With VDU_FAULT_LOG set to a file, every call seen is listed there with
// what it touches, for writing rules. With VDU_TRACE set to a file, every
// write to a regular file, ftruncate and flush is also recorded there (see
// TraceRecord), for replaying what a power cut could keep.
#include "trace_record.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <linux/openat2.h>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

enum Call {
    READ,
    WRITE,
    FALLOCATE,
    CLOSE,
    FDATASYNC,
    FSYNC,
    SYNCFS,
    FTRUNCATE,
    OPEN,
    OPENAT,
    OPENAT2,
    LINKAT
};
constexpr std::size_t CALLS = LINKAT + 1;
constexpr std::array<const char*, CALLS> CALL_NAMES{"read",      "write",  "fallocate", "close",
                                                    "fdatasync", "fsync",  "syncfs",    "ftruncate",
                                                    "open",      "openat", "openat2",   "linkat"};

enum Kind { NONE, FAIL, SHORT, ZERO, KILL, TERM, STOP, CUT, REWRITE, ALTER, GROW, SLOW, SWAP };

struct Fault {
    Kind kind = NONE;
    int error = 0;  // with FAIL, KILL, TERM and STOP
    long bytes = 0; // with CUT; milliseconds with SLOW
};

template <typename Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

int real_open(const char* path, int flags, mode_t mode = 0) {
    static const auto function = real<int (*)(const char*, int, ...)>("open");
    return function(path, flags, mode);
}

// What a call touches: the path a descriptor was opened by, and its flags.
struct Touched {
    std::string path;
    int flags = 0;
    bool known = false;
};

constexpr std::string_view DICTIONARY = "/usr/local/share/vora/Dictionary";

bool below(std::string_view path, std::string_view directory) {
    return path.starts_with(directory) &&
           (path.size() == directory.size() || path[directory.size()] == '/');
}

bool writable(int flags) {
    return (flags & O_ACCMODE) != O_RDONLY || (flags & O_TMPFILE) == O_TMPFILE;
}

bool write_only(int flags) {
    return (flags & O_ACCMODE) == O_WRONLY || (flags & O_TMPFILE) == O_TMPFILE;
}

bool is_directory(int flags) {
    return (flags & O_DIRECTORY) != 0 && (flags & O_TMPFILE) != O_TMPFILE;
}

bool in_the_system(std::string_view path) {
    constexpr std::array<std::string_view, 11> SYSTEM{"/usr",   "/etc", "/var/lib", "/run",
                                                      "/proc",  "/dev", "/sys",     "/lib",
                                                      "/lib64", "/bin", "/sbin"};
    return std::any_of(SYSTEM.begin(), SYSTEM.end(),
                       [path](std::string_view system) { return below(path, system); });
}

// Whether what a call touches is what a rule's target names.
bool matches(const std::string& target, const Touched& touched) {
    if (target.empty())
        return true;
    if (!touched.known)
        return false;
    if (target.find('/') != std::string::npos)
        return fnmatch(target.c_str(), touched.path.c_str(), 0) == 0;
    if ((touched.flags & O_PATH) != 0)
        return false;
    const std::string_view path = touched.path;
    if (target == "installed")
        return below(path, DICTIONARY) && path != DICTIONARY && write_only(touched.flags) &&
               !is_directory(touched.flags);
    if (target == "dictionary")
        return below(path, DICTIONARY);
    if (target == "update")
        return !below(path, DICTIONARY) && !in_the_system(path) && !writable(touched.flags) &&
               !is_directory(touched.flags);
    return target == "lock" && path.starts_with("/run/vora-dict-update.lock");
}

struct Rule {
    Call call;
    std::string target;
    long number; // 0: every one
    Fault fault;
    std::atomic<long> seen{0};
};

constexpr std::size_t MOST_RULES = 16;
std::array<Rule, MOST_RULES> rules_table;
std::size_t rule_count = 0;
std::array<std::atomic<long>, CALLS> calls{};

// The fault that a rule's KIND names.
Fault parse_kind(std::string_view kind) {
    using Error = std::pair<std::string_view, int>;
    static constexpr std::array<Error, 6> ERRORS{
        Error{"EIO", EIO},       Error{"ENOSPC", ENOSPC},         Error{"EINTR", EINTR},
        Error{"ENOSYS", ENOSYS}, Error{"EOPNOTSUPP", EOPNOTSUPP}, Error{"EEXIST", EEXIST}};
    for (const auto& [name, error] : ERRORS)
        if (kind == name)
            return {FAIL, error};
    if (kind == "short")
        return {SHORT, 0};
    if (kind == "zero")
        return {ZERO, 0};
    if (kind == "kill")
        return {KILL, SIGKILL};
    if (kind == "term")
        return {TERM, SIGTERM};
    if (kind == "stop")
        return {STOP, SIGSTOP};
    if (kind == "rewrite")
        return {REWRITE, 0};
    if (kind == "alter")
        return {ALTER, 0};
    if (kind == "grow")
        return {GROW, 0};
    if (kind == "swap")
        return {SWAP, 0};
    if (kind.starts_with("cut"))
        return {CUT, SIGKILL, std::strtol(kind.data() + 3, nullptr, 10)};
    if (kind.starts_with("slow"))
        return {SLOW, 0, std::strtol(kind.data() + 4, nullptr, 10)};
    return {};
}

// One rule, CALL[:TARGET]@N=KIND; false when it is not one.
bool parse_rule(std::string_view text, Rule& rule) {
    const std::size_t at = text.find('@');
    const std::size_t equals = text.find('=', at);
    if (at == std::string_view::npos || equals == std::string_view::npos)
        return false;
    const std::string_view head = text.substr(0, at);
    const std::string_view name = head.substr(0, head.find(':'));
    const auto* const found = std::find(CALL_NAMES.begin(), CALL_NAMES.end(), name);
    if (found == CALL_NAMES.end())
        return false;
    rule.call = static_cast<Call>(found - CALL_NAMES.begin());
    rule.target = name.size() < head.size() ? std::string(head.substr(name.size() + 1)) : "";
    const std::string number(text.substr(at + 1, equals - at - 1));
    rule.number = number == "*" ? 0 : std::strtol(number.c_str(), nullptr, 10);
    rule.fault = parse_kind(text.substr(equals + 1));
    return true;
}

// The rules of VDU_FAULTS, read once.
bool read_rules() {
    const char* text = std::getenv("VDU_FAULTS");
    for (std::string_view rest = text != nullptr ? text : ""; !rest.empty();) {
        const std::size_t comma = std::min(rest.find(','), rest.size());
        if (rule_count < MOST_RULES && parse_rule(rest.substr(0, comma), rules_table[rule_count]))
            ++rule_count;
        rest.remove_prefix(std::min(comma + 1, rest.size()));
    }
    return true;
}

void ensure_rules() {
    static const bool read = read_rules();
    (void)read;
}

// The descriptors the program opened, by the path it opened them with.
constexpr int MOST_FDS = 4096;
std::array<Touched, MOST_FDS> opened;
std::mutex opened_mutex;

Touched touched_by(int fd) {
    if (fd < 0 || fd >= MOST_FDS)
        return {};
    const std::lock_guard lock(opened_mutex);
    return opened[static_cast<std::size_t>(fd)];
}

// The path that path names below the directory open as dir, as far as the
// program's own opens tell: /proc/self/fd/N is the file open as N.
std::string path_at(int dir, const char* path) {
    if (path == nullptr)
        return "";
    const std::string_view text = path;
    if (text.starts_with("/proc/self/fd/")) {
        const Touched file = touched_by(static_cast<int>(std::strtol(path + 14, nullptr, 10)));
        return file.known ? file.path : std::string(text);
    }
    if (text.starts_with('/'))
        return std::string(text);
    std::string base;
    if (dir == AT_FDCWD) {
        std::array<char, 4096> cwd{};
        base = getcwd(cwd.data(), cwd.size()) != nullptr ? cwd.data() : "";
    } else {
        base = touched_by(dir).path;
    }
    if (text.empty() || text == ".")
        return base;
    return base.ends_with('/') ? base + std::string(text) : base + "/" + std::string(text);
}

void remember(int fd, std::string path, int flags) {
    if (fd < 0 || fd >= MOST_FDS)
        return;
    const std::lock_guard lock(opened_mutex);
    opened[static_cast<std::size_t>(fd)] = {std::move(path), flags, true};
}

void forget(int fd) {
    if (fd < 0 || fd >= MOST_FDS)
        return;
    const std::lock_guard lock(opened_mutex);
    opened[static_cast<std::size_t>(fd)] = {};
}

// The path that swap_path replaced, put back at exit.
std::string swapped_path;

// Puts a link to the target of VDU_SWAP in place of its path, which moves
// aside: what a hostile owner of an update tree could do at any moment.
void swap_path() {
    const char* swap = std::getenv("VDU_SWAP");
    const char* arrow = swap != nullptr ? std::strstr(swap, "=>") : nullptr;
    if (arrow == nullptr || !swapped_path.empty())
        return;
    swapped_path.assign(swap, arrow);
    (void)rename(swapped_path.c_str(), (swapped_path + ".moved").c_str());
    (void)!symlink(arrow + 2, swapped_path.c_str());
}

// Lists the call in the log that VDU_FAULT_LOG names, if any.
void log_call(Call call, long count, const Touched& touched) {
    static const char* const path = std::getenv("VDU_FAULT_LOG");
    static const auto real_write = real<ssize_t (*)(int, const void*, size_t)>("write");
    if (path == nullptr)
        return;
    static const int out = real_open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    std::string line = std::string(CALL_NAMES[call]) + "@" + std::to_string(count);
    for (const char* target : {"installed", "dictionary", "update", "lock"})
        if (matches(target, touched))
            line.append(" ").append(target);
    line.append(" ").append(touched.known ? touched.path : "?") += '\n';
    (void)!real_write(out, line.data(), line.size());
}

// The fault for this call of call, which touches touched: the first rule
// that matches, after any swap that matches. Every rule whose call and
// target match counts the call. A signal rule sends its signal here.
Fault next_fault(Call call, const Touched& touched = {}) {
    ensure_rules();
    const long count = ++calls[call];
    log_call(call, count, touched);
    Fault found;
    for (std::size_t i = 0; i < rule_count; ++i) {
        Rule& rule = rules_table[i];
        if (rule.call != call || !matches(rule.target, touched))
            continue;
        const long seen = ++rule.seen;
        if (rule.number != 0 && rule.number != seen)
            continue;
        if (rule.fault.kind == SWAP)
            swap_path();
        else if (found.kind == NONE)
            found = rule.fault;
    }
    if (found.kind == KILL || found.kind == TERM || found.kind == STOP)
        (void)kill(getpid(), found.error);
    return found;
}

// Appends one record to the trace named by VDU_TRACE, if any: a write
// (kind 'W', with its bytes), an ftruncate ('T', offset holding the
// length), a flush of one file ('F') or of every file ('S'), a file given a
// name ('L').
void trace(char kind, int fd, off_t offset, const void* bytes, std::size_t size) {
    static const char* const path = std::getenv("VDU_TRACE");
    static const auto real_write = real<ssize_t (*)(int, const void*, size_t)>("write");
    if (path == nullptr)
        return;
    struct stat status {};
    if (kind != 'S' && (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)))
        return;
    static const int out = real_open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    const TraceRecord record{kind, static_cast<std::uint64_t>(status.st_ino),
                             static_cast<std::int64_t>(offset), static_cast<std::uint64_t>(size)};
    (void)!real_write(out, &record, sizeof record);
    if (size > 0)
        (void)!real_write(out, bytes, size);
}

// The file that alter changed, and its status before: fstat shows its times
// as they were.
struct stat altered {};
std::atomic<bool> hiding_times{false};

// Writes a file's first byte back in place, after a pause that lets its
// times move on, and then puts its modification time back: only the change
// time tells. Altered, the byte changes and the times seem not to.
void rewrite_in_place(int fd, bool alter) {
    char byte = 0;
    struct stat before {};
    if (pread(fd, &byte, 1, 0) != 1 || fstat(fd, &before) != 0)
        return;
    if (alter)
        byte = static_cast<char>(~byte);
    else
        usleep(20000);
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    // Without blocking: a read lease that the process holds itself would keep
    // the open waiting; the open breaks it all the same.
    const int writable = real_open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    (void)!pwrite(writable, &byte, 1, 0);
    const std::array<timespec, 2> times{before.st_atim, before.st_mtim};
    (void)futimens(writable, times.data());
    real<int (*)(int)>("close")(writable);
    if (alter) {
        altered = before;
        hiding_times = true;
    }
}

// The file that grow made longer, and its length before, put back at exit.
std::string grown_path;
off_t grown_length = -1;

void grow(int fd) {
    struct stat status {};
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    std::array<char, 4096> target{};
    const ssize_t size = readlink(path.c_str(), target.data(), target.size() - 1);
    if (fstat(fd, &status) != 0 || size <= 0)
        return;
    grown_path.assign(target.data(), static_cast<std::size_t>(size));
    grown_length = status.st_size;
    const int appending = real_open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    const std::string more(std::size_t{1} << 20, 'g');
    (void)!pwrite(appending, more.data(), more.size(), 0);
    real<int (*)(int)>("close")(appending);
}

// Leaves the update tree as the run found it, for a rerun.
__attribute__((destructor)) void undo_changes() {
    if (grown_length >= 0)
        (void)!truncate(grown_path.c_str(), grown_length);
    if (!swapped_path.empty() && unlink(swapped_path.c_str()) == 0)
        (void)rename((swapped_path + ".moved").c_str(), swapped_path.c_str());
}

// True, with errno set, when the fault makes the call fail.
bool fails(const Fault& fault) {
    if (fault.kind != FAIL)
        return false;
    errno = fault.error;
    return true;
}

// write and pwrite: one count, so "write@N" is the Nth of either; offset is
// -1 for write, which writes at the file's offset.
ssize_t faulty_write(int fd, const void* buf, size_t n, off_t offset) {
    static const auto real_write = real<ssize_t (*)(int, const void*, size_t)>("write");
    static const auto real_pwrite = real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    const Fault fault = next_fault(WRITE, touched_by(fd));
    if (fails(fault))
        return -1;
    if (fault.kind == ZERO)
        return 0;
    if (fault.kind == SHORT && n > 1)
        n /= 2;
    if (fault.kind == CUT)
        n = std::min(n, static_cast<size_t>(fault.bytes));
    const off_t at = offset >= 0 ? offset : lseek(fd, 0, SEEK_CUR);
    ssize_t written = 0;
    if (n > 0)
        written = offset >= 0 ? real_pwrite(fd, buf, n, offset) : real_write(fd, buf, n);
    if (written > 0)
        trace('W', fd, at, buf, static_cast<std::size_t>(written));
    if (fault.kind == CUT)
        (void)kill(getpid(), SIGKILL);
    return written;
}

// fdatasync, fsync or syncfs through real_flush; one that succeeds is
// recorded after it, syncfs as a flush of every file.
int faulty_flush(Call call, int (*real_flush)(int), int fd) {
    const int rc = fails(next_fault(call, touched_by(fd))) ? -1 : real_flush(fd);
    if (rc == 0)
        trace(call == SYNCFS ? 'S' : 'F', fd, 0, nullptr, 0);
    return rc;
}

// An open of path below dir with flags, counted as call: the descriptor is
// remembered by that path.
template <typename Open>
int faulty_open(Call call, int dir, const char* path, int flags, Open open_it) {
    std::string where = path_at(dir, path);
    if ((flags & O_TMPFILE) == O_TMPFILE)
        where += "/(unnamed)";
    if (fails(next_fault(call, {where, flags, true})))
        return -1;
    const int fd = open_it();
    remember(fd, std::move(where), flags);
    return fd;
}

// The mode argument of an open that may create a file.
#define OPEN_MODE(flags, last, mode)                                                               \
    if (((flags) & (O_CREAT | O_TMPFILE)) != 0) {                                                  \
        va_list args;                                                                              \
        va_start(args, last);                                                                      \
        (mode) = va_arg(args, mode_t); /* NOLINT(clang-analyzer-valist.Uninitialized) */           \
        va_end(args);                                                                              \
    }

} // namespace

extern "C" {

ssize_t read(int fd, void* buf, size_t nbytes) {
    static const auto real_read = real<ssize_t (*)(int, void*, size_t)>("read");
    const Fault fault = next_fault(READ, touched_by(fd));
    if (fails(fault))
        return -1;
    if (fault.kind == REWRITE || fault.kind == ALTER)
        rewrite_in_place(fd, fault.kind == ALTER);
    if (fault.kind == GROW)
        grow(fd);
    if (fault.kind == SLOW)
        usleep(static_cast<useconds_t>(fault.bytes) * 1000);
    if (fault.kind == SHORT && nbytes > 1)
        nbytes /= 2;
    return real_read(fd, buf, nbytes);
}

ssize_t write(int fd, const void* buf, size_t n) {
    return faulty_write(fd, buf, n, -1);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t offset) {
    return faulty_write(fd, buf, n, offset);
}

int fallocate(int fd, int mode, off_t offset, off_t len) {
    static const auto real_fallocate = real<int (*)(int, int, off_t, off_t)>("fallocate");
    return fails(next_fault(FALLOCATE, touched_by(fd))) ? -1
                                                        : real_fallocate(fd, mode, offset, len);
}

int ftruncate(int fd, off_t length) {
    static const auto real_ftruncate = real<int (*)(int, off_t)>("ftruncate");
    if (fails(next_fault(FTRUNCATE, touched_by(fd))))
        return -1;
    const int rc = real_ftruncate(fd, length);
    if (rc == 0)
        trace('T', fd, length, nullptr, 0);
    return rc;
}

int fdatasync(int fildes) {
    static const auto real_fdatasync = real<int (*)(int)>("fdatasync");
    return faulty_flush(FDATASYNC, real_fdatasync, fildes);
}

int fsync(int fd) {
    static const auto real_fsync = real<int (*)(int)>("fsync");
    return faulty_flush(FSYNC, real_fsync, fd);
}

int syncfs(int fd) {
    static const auto real_syncfs = real<int (*)(int)>("syncfs");
    return faulty_flush(SYNCFS, real_syncfs, fd);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    OPEN_MODE(flags, flags, mode)
    return faulty_open(OPEN, AT_FDCWD, path, flags, [&] { return real_open(path, flags, mode); });
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
int openat(int dir, const char* path, int flags, ...) {
    static const auto real_openat = real<int (*)(int, const char*, int, ...)>("openat");
    mode_t mode = 0;
    OPEN_MODE(flags, flags, mode)
    return faulty_open(OPENAT, dir, path, flags,
                       [&] { return real_openat(dir, path, flags, mode); });
}

// What a fortified build calls for an openat whose flags are not constant.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
int __openat_2(int dir, const char* path, int flags) {
    static const auto real_openat = real<int (*)(int, const char*, int, ...)>("openat");
    return faulty_open(OPENAT, dir, path, flags, [&] { return real_openat(dir, path, flags); });
}

// What a fortified build calls for an open whose flags are not constant.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
int __open_2(const char* path, int flags) {
    return faulty_open(OPEN, AT_FDCWD, path, flags, [&] { return real_open(path, flags); });
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
    static const auto real_linkat =
        real<int (*)(int, const char*, int, const char*, int)>("linkat");
    const Touched file = touched_by(from_dir);
    const Touched target{path_at(to_dir, to), file.known ? file.flags : 0, true};
    if (fails(next_fault(LINKAT, target)))
        return -1;
    const int rc = real_linkat(from_dir, from, to_dir, to, flags);
    if (rc == 0)
        trace('L', from_dir, 0, nullptr, 0);
    return rc;
}

// openat2 has no wrapper in the C library: the program calls syscall().
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
long syscall(long number, ...) {
    static const auto real_syscall = real<long (*)(long, ...)>("syscall");
    va_list args;
    va_start(args, number);
    std::array<long, 6> arg{};
    for (long& a : arg)
        // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): as above
        a = va_arg(args, long);
    va_end(args);
    const auto forward = [&] {
        return static_cast<int>(
            real_syscall(number, arg[0], arg[1], arg[2], arg[3], arg[4], arg[5]));
    };
    if (number != SYS_openat2)
        return real_syscall(number, arg[0], arg[1], arg[2], arg[3], arg[4], arg[5]);
    // NOLINTNEXTLINE(performance-no-int-to-ptr): syscall()'s arguments are longs
    const auto* how = reinterpret_cast<const open_how*>(arg[2]);
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    const auto* path = reinterpret_cast<const char*>(arg[1]);
    return faulty_open(OPENAT2, static_cast<int>(arg[0]), path, static_cast<int>(how->flags),
                       forward);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
int fstat(int fd, struct stat* status) {
    static const auto real_fstat = real<int (*)(int, struct stat*)>("fstat");
    const int rc = real_fstat(fd, status);
    if (rc == 0 && hiding_times && status->st_dev == altered.st_dev &&
        status->st_ino == altered.st_ino) {
        status->st_mtim = altered.st_mtim;
        status->st_ctim = altered.st_ctim;
    }
    return rc;
}

// A failing close still closes, as the system's does.
int close(int fd) {
    static const auto real_close = real<int (*)(int)>("close");
    const Fault fault = next_fault(CLOSE, touched_by(fd));
    forget(fd);
    const int rc = real_close(fd);
    return fails(fault) ? -1 : rc;
}

} // extern "C"
