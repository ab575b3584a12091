// A test-only LD_PRELOAD shim that makes chosen calls of read, write,
// fallocate, close, fdatasync, fsync, syncfs, ftruncate, open, openat or
// openat2 misbehave, so that every failure path of the tool can be forced in a real
// run.
//
// VDU_FAULTS holds rules separated by commas, each CALL@N=KIND: the Nth call
// (counted from 1; * for every one) of CALL made directly by the program
// behaves as KIND:
//   EIO, ENOSPC, EINTR, EOPNOTSUPP, ENOSYS  fail with that errno, doing nothing
//   short                           read or write only half of the bytes
//   zero                            write: return 0, placing nothing
//   kill, term                      SIGKILL or SIGTERM is sent to the process first
//   cutK                            write: place at most K bytes, then SIGKILL
//   rewrite                         read: first write the file's first byte back
//                                   in place, as an editor saving it would, and
//                                   put its modification time back (a read lease
//                                   on the file is broken, and nothing written)
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
// With VDU_TRACE set to a file, every write to a regular file, ftruncate and
// flush is also recorded there (see TraceRecord), for replaying what a power
// cut could keep.
#include "trace_record.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
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
    OPENAT2
};
constexpr std::size_t CALLS = OPENAT2 + 1;
constexpr std::array<const char*, CALLS> CALL_NAMES{"read",      "write",  "fallocate", "close",
                                                    "fdatasync", "fsync",  "syncfs",    "ftruncate",
                                                    "open",      "openat", "openat2"};

enum Kind { NONE, FAIL, SHORT, ZERO, KILL, TERM, CUT, REWRITE, GROW, SLOW };

struct Fault {
    Kind kind = NONE;
    int error = 0;  // with FAIL, KILL and TERM
    long bytes = 0; // with CUT; milliseconds with SLOW
};

std::array<std::atomic<long>, CALLS> calls{};

template <typename Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

int real_open(const char* path, int flags, mode_t mode = 0) {
    static const auto function = real<int (*)(const char*, int, ...)>("open");
    return function(path, flags, mode);
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

// The fault that a rule's KIND names.
Fault parse_kind(std::string_view kind) {
    using Error = std::pair<std::string_view, int>;
    static constexpr std::array<Error, 5> ERRORS{Error{"EIO", EIO}, Error{"ENOSPC", ENOSPC},
                                                 Error{"EINTR", EINTR}, Error{"ENOSYS", ENOSYS},
                                                 Error{"EOPNOTSUPP", EOPNOTSUPP}};
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
    if (kind == "rewrite")
        return {REWRITE, 0};
    if (kind == "grow")
        return {GROW, 0};
    if (kind.starts_with("cut"))
        return {CUT, SIGKILL, std::strtol(kind.data() + 3, nullptr, 10)};
    if (kind.starts_with("slow"))
        return {SLOW, 0, std::strtol(kind.data() + 4, nullptr, 10)};
    return {};
}

// Finds the rule for call number `count` of `call`, reading VDU_FAULTS
// afresh: the first that matches, after any swap that matches.
Fault fault_for(Call call, long count) {
    const char* rules = std::getenv("VDU_FAULTS");
    if (rules == nullptr)
        return {};
    const std::size_t name_len = std::strlen(CALL_NAMES[call]);
    Fault found;
    for (const char* rule = rules; *rule != '\0';) {
        const char* end = std::strchr(rule, ',');
        if (end == nullptr)
            end = rule + std::strlen(rule);
        if (std::strncmp(rule, CALL_NAMES[call], name_len) == 0 && rule[name_len] == '@') {
            const char* number = rule + name_len + 1;
            char* after = const_cast<char*>(number);
            const long n = *number == '*' ? count : std::strtol(number, &after, 10);
            const char* equals = *number == '*' ? number + 1 : after;
            const std::string_view kind(equals + 1, static_cast<std::size_t>(end - equals - 1));
            if (n == count && *equals == '=' && kind == "swap")
                swap_path();
            else if (n == count && *equals == '=' && found.kind == NONE)
                found = parse_kind(kind);
        }
        rule = *end == ',' ? end + 1 : end;
    }
    return found;
}

// The rule for this call; a signal rule sends its signal here.
Fault next_fault(Call call) {
    const Fault fault = fault_for(call, ++calls[call]);
    if (fault.kind == KILL || fault.kind == TERM)
        (void)kill(getpid(), fault.error);
    return fault;
}

// Appends one record to the trace named by VDU_TRACE, if any: a write
// (kind 'W', with its bytes), an ftruncate ('T', offset holding the
// length), a flush of one file ('F') or of every file ('S').
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

// Writes a file's first byte back in place, after a pause that lets its
// times move on, and then puts its modification time back: only the change
// time tells.
void rewrite_in_place(int fd) {
    char byte = 0;
    struct stat before {};
    if (pread(fd, &byte, 1, 0) != 1 || fstat(fd, &before) != 0)
        return;
    usleep(20000);
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    // Without blocking: a read lease that the process holds itself would keep
    // the open waiting; the open breaks it all the same.
    const int writable = real_open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    (void)!pwrite(writable, &byte, 1, 0);
    const std::array<timespec, 2> times{before.st_atim, before.st_mtim};
    (void)futimens(writable, times.data());
    real<int (*)(int)>("close")(writable);
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
    const Fault fault = next_fault(WRITE);
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
    const int rc = fails(next_fault(call)) ? -1 : real_flush(fd);
    if (rc == 0)
        trace(call == SYNCFS ? 'S' : 'F', fd, 0, nullptr, 0);
    return rc;
}

} // namespace

extern "C" {

ssize_t read(int fd, void* buf, size_t nbytes) {
    static const auto real_read = real<ssize_t (*)(int, void*, size_t)>("read");
    const Fault fault = next_fault(READ);
    if (fails(fault))
        return -1;
    if (fault.kind == REWRITE)
        rewrite_in_place(fd);
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
    return fails(next_fault(FALLOCATE)) ? -1 : real_fallocate(fd, mode, offset, len);
}

int ftruncate(int fd, off_t length) {
    static const auto real_ftruncate = real<int (*)(int, off_t)>("ftruncate");
    if (fails(next_fault(FTRUNCATE)))
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
    if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
        va_list args;
        va_start(args, flags);
        // A false finding, reported only when clang-tidy checks several files in one run.
        mode = va_arg(args, mode_t); // NOLINT(clang-analyzer-valist.Uninitialized)
        va_end(args);
    }
    return fails(next_fault(OPEN)) ? -1 : real_open(path, flags, mode);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
int openat(int dir, const char* path, int flags, ...) {
    static const auto real_openat = real<int (*)(int, const char*, int, ...)>("openat");
    mode_t mode = 0;
    if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
        va_list args;
        va_start(args, flags);
        // A false finding, reported only when clang-tidy checks several files in one run.
        mode = va_arg(args, mode_t); // NOLINT(clang-analyzer-valist.Uninitialized)
        va_end(args);
    }
    return fails(next_fault(OPENAT)) ? -1 : real_openat(dir, path, flags, mode);
}

// What a fortified build calls for an openat whose flags are not constant.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
int __openat_2(int dir, const char* path, int flags) {
    static const auto real_openat = real<int (*)(int, const char*, int, ...)>("openat");
    return fails(next_fault(OPENAT)) ? -1 : real_openat(dir, path, flags);
}

// What a fortified build calls for an open whose flags are not constant.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
int __open_2(const char* path, int flags) {
    return fails(next_fault(OPEN)) ? -1 : real_open(path, flags);
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
    if (number == SYS_openat2 && fails(next_fault(OPENAT2)))
        return -1;
    return real_syscall(number, arg[0], arg[1], arg[2], arg[3], arg[4], arg[5]);
}

// A failing close still closes, as the system's does.
int close(int fd) {
    static const auto real_close = real<int (*)(int)>("close");
    const Fault fault = next_fault(CLOSE);
    const int rc = real_close(fd);
    return fails(fault) ? -1 : rc;
}

} // extern "C"
