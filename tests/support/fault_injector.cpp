// A test-only LD_PRELOAD shim that makes chosen calls of read, write,
// fallocate, close, fdatasync, fsync, syncfs or ftruncate misbehave, so that
// every failure path of the tool can be forced in a real run.
//
// VDU_FAULTS holds rules separated by commas, each CALL@N=KIND: the Nth call
// (counted from 1) of CALL made directly by the program behaves as KIND:
//   EIO, ENOSPC, EINTR, EOPNOTSUPP  fail with that errno, doing nothing
//   short                           read or write only half of the bytes
//   zero                            write: return 0, placing nothing
//   kill, term                      SIGKILL or SIGTERM is sent to the process first
//   cutK                            write: place at most K bytes, then SIGKILL
//   rewrite                         read: first write the file's first byte back
//                                   in place, as an editor saving it would
// Calls that the C library makes internally (stdio's own reads) are not seen.
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
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

enum Call { READ, WRITE, FALLOCATE, CLOSE, FDATASYNC, FSYNC, SYNCFS, FTRUNCATE, CALLS };
constexpr std::array<const char*, CALLS> CALL_NAMES{"read",      "write", "fallocate", "close",
                                                    "fdatasync", "fsync", "syncfs",    "ftruncate"};

enum Kind { NONE, FAIL, SHORT, ZERO, KILL, TERM, CUT, REWRITE };

struct Fault {
    Kind kind = NONE;
    int error = 0;  // with FAIL, KILL and TERM
    long bytes = 0; // with CUT
};

std::array<std::atomic<long>, CALLS> calls{};

// Finds the rule for call number `count` of `call`, reading VDU_FAULTS afresh.
Fault fault_for(Call call, long count) {
    const char* rules = std::getenv("VDU_FAULTS");
    if (rules == nullptr)
        return {};
    const std::size_t name_len = std::strlen(CALL_NAMES[call]);
    for (const char* rule = rules; *rule != '\0';) {
        const char* end = std::strchr(rule, ',');
        if (end == nullptr)
            end = rule + std::strlen(rule);
        if (std::strncmp(rule, CALL_NAMES[call], name_len) == 0 && rule[name_len] == '@') {
            char* after = nullptr;
            const long n = std::strtol(rule + name_len + 1, &after, 10);
            if (n == count && *after == '=') {
                const std::string_view kind(after + 1, static_cast<std::size_t>(end - after - 1));
                if (kind == "short")
                    return {SHORT, 0};
                if (kind == "zero")
                    return {ZERO, 0};
                if (kind == "kill")
                    return {KILL, SIGKILL};
                if (kind == "term")
                    return {TERM, SIGTERM};
                if (kind == "EIO")
                    return {FAIL, EIO};
                if (kind == "ENOSPC")
                    return {FAIL, ENOSPC};
                if (kind == "EINTR")
                    return {FAIL, EINTR};
                if (kind == "EOPNOTSUPP")
                    return {FAIL, EOPNOTSUPP};
                if (kind == "rewrite")
                    return {REWRITE, 0};
                if (kind.starts_with("cut"))
                    return {CUT, SIGKILL, std::strtol(kind.data() + 3, nullptr, 10)};
            }
        }
        rule = *end == ',' ? end + 1 : end;
    }
    return {};
}

// The rule for this call; a signal rule sends its signal here.
Fault next_fault(Call call) {
    const Fault fault = fault_for(call, ++calls[call]);
    if (fault.kind == KILL || fault.kind == TERM)
        (void)kill(getpid(), fault.error);
    return fault;
}

template <typename Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
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
    static const int out = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    const TraceRecord record{kind, static_cast<std::uint64_t>(status.st_ino),
                             static_cast<std::int64_t>(offset), static_cast<std::uint64_t>(size)};
    (void)!real_write(out, &record, sizeof record);
    if (size > 0)
        (void)!real_write(out, bytes, size);
}

// Writes a file's first byte back in place, after a pause that lets its
// times move on.
void rewrite_in_place(int fd) {
    char byte = 0;
    if (pread(fd, &byte, 1, 0) != 1)
        return;
    usleep(20000);
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const int writable = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    (void)!pwrite(writable, &byte, 1, 0);
    real<int (*)(int)>("close")(writable);
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

// A failing close still closes, as the system's does.
int close(int fd) {
    static const auto real_close = real<int (*)(int)>("close");
    const Fault fault = next_fault(CLOSE);
    const int rc = real_close(fd);
    return fails(fault) ? -1 : rc;
}

} // extern "C"
