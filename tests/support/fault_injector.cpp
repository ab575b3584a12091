// A test-only LD_PRELOAD shim that makes chosen calls of read, write,
// fallocate, close, fdatasync or fsync misbehave, so that every failure path
// of the tool can be forced in a real run.
//
// VDU_FAULTS holds rules separated by commas, each CALL@N=KIND: the Nth call
// (counted from 1) of CALL made directly by the program behaves as KIND:
//   EIO, ENOSPC, EINTR, EOPNOTSUPP  fail with that errno, doing nothing
//   short                           read or write only half of the bytes
//   zero                            write: return 0, placing nothing
//   kill, term                      SIGKILL or SIGTERM is sent to the process first
// Calls that the C library makes internally (stdio's own reads) are not seen.
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

enum Call { READ, WRITE, FALLOCATE, CLOSE, FDATASYNC, FSYNC, CALLS };
constexpr std::array<const char*, CALLS> CALL_NAMES{"read",  "write",     "fallocate",
                                                    "close", "fdatasync", "fsync"};

enum Kind { NONE, FAIL, SHORT, ZERO, KILL, TERM };

struct Fault {
    Kind kind = NONE;
    int error = 0;
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

// True, with errno set, when the fault makes the call fail.
bool fails(const Fault& fault) {
    if (fault.kind != FAIL)
        return false;
    errno = fault.error;
    return true;
}

} // namespace

extern "C" {

ssize_t read(int fd, void* buf, size_t nbytes) {
    static const auto real_read = real<ssize_t (*)(int, void*, size_t)>("read");
    const Fault fault = next_fault(READ);
    if (fails(fault))
        return -1;
    if (fault.kind == SHORT && nbytes > 1)
        nbytes /= 2;
    return real_read(fd, buf, nbytes);
}

ssize_t write(int fd, const void* buf, size_t n) {
    static const auto real_write = real<ssize_t (*)(int, const void*, size_t)>("write");
    const Fault fault = next_fault(WRITE);
    if (fails(fault))
        return -1;
    if (fault.kind == ZERO)
        return 0;
    if (fault.kind == SHORT && n > 1)
        n /= 2;
    return real_write(fd, buf, n);
}

int fallocate(int fd, int mode, off_t offset, off_t len) {
    static const auto real_fallocate = real<int (*)(int, int, off_t, off_t)>("fallocate");
    return fails(next_fault(FALLOCATE)) ? -1 : real_fallocate(fd, mode, offset, len);
}

int fdatasync(int fildes) {
    static const auto real_fdatasync = real<int (*)(int)>("fdatasync");
    return fails(next_fault(FDATASYNC)) ? -1 : real_fdatasync(fildes);
}

int fsync(int fd) {
    static const auto real_fsync = real<int (*)(int)>("fsync");
    return fails(next_fault(FSYNC)) ? -1 : real_fsync(fd);
}

// A failing close still closes, as the system's does.
int close(int fd) {
    static const auto real_close = real<int (*)(int)>("close");
    const Fault fault = next_fault(CLOSE);
    const int rc = real_close(fd);
    return fails(fault) ? -1 : rc;
}

} // extern "C"
