#include "io.h"

#include "fd.h"

#include <array>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// Reads until buffer is full or the file ends, through read_some(bytes,
// count, done), done being how many came before.
template <typename ReadSome>
IoResult read_whole(std::span<unsigned char> buffer, ReadSome read_some) {
    IoResult result;
    while (result.count < buffer.size()) {
        const ssize_t n = retry_eintr([&] {
            return read_some(buffer.data() + result.count, buffer.size() - result.count,
                             result.count);
        });
        if (n < 0)
            return {result.count, last_error()};
        if (n == 0)
            break;
        result.count += static_cast<std::size_t>(n);
    }
    return result;
}

// Writes every byte through write_some(bytes, count, done).
template <typename WriteSome>
int write_whole(std::span<const unsigned char> bytes, WriteSome write_some) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n =
            retry_eintr([&] { return write_some(bytes.data() + done, bytes.size() - done, done); });
        if (n < 0)
            return last_error();
        if (n == 0)
            return ENOSPC;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

int result_of(int rc) {
    return rc == 0 ? 0 : last_error();
}

} // namespace

IoResult read_full(int fd, std::span<unsigned char> buffer) {
    return read_whole(buffer, [fd](unsigned char* bytes, std::size_t count, std::size_t) {
        return read(fd, bytes, count);
    });
}

IoResult read_some(int fd, std::span<unsigned char> buffer) {
    const ssize_t n = retry_eintr([&] { return read(fd, buffer.data(), buffer.size()); });
    return n < 0 ? IoResult{0, last_error()} : IoResult{static_cast<std::size_t>(n), 0};
}

IoResult pread_some(int fd, std::span<unsigned char> buffer, off_t offset) {
    const ssize_t n = retry_eintr([&] { return pread(fd, buffer.data(), buffer.size(), offset); });
    return n < 0 ? IoResult{0, last_error()} : IoResult{static_cast<std::size_t>(n), 0};
}

IoResult pread_full(int fd, std::span<unsigned char> buffer, off_t offset) {
    return read_whole(buffer,
                      [fd, offset](unsigned char* bytes, std::size_t count, std::size_t done) {
                          return pread(fd, bytes, count, offset + static_cast<off_t>(done));
                      });
}

int write_all(int fd, std::span<const unsigned char> bytes) {
    return write_whole(bytes, [fd](const unsigned char* data, std::size_t count, std::size_t) {
        return write(fd, data, count);
    });
}

int write_all_at(int fd, std::span<const unsigned char> bytes, off_t offset) {
    return write_whole(
        bytes, [fd, offset](const unsigned char* data, std::size_t count, std::size_t done) {
            return pwrite(fd, data, count, offset + static_cast<off_t>(done));
        });
}

int copy_all(int from, int to) {
    std::array<unsigned char, std::size_t{256} * 1024> chunk{};
    for (;;) {
        const IoResult got = read_some(from, chunk);
        if (got.error != 0)
            return got.error;
        if (got.count == 0)
            return 0;
        if (const int error = write_all(to, {chunk.data(), got.count}))
            return error;
    }
}

int reserve_space(int fd, off_t from, off_t length) {
    if (length <= from)
        return 0;
    if (retry_eintr([&] { return fallocate(fd, FALLOC_FL_KEEP_SIZE, from, length - from); }) == 0)
        return 0;
    const int error = last_error();
    return error == EOPNOTSUPP || error == ENOSYS || error == EINVAL ? 0 : error;
}

int cut_to(int fd, off_t length) {
    return result_of(retry_eintr([&] { return ftruncate(fd, length); }));
}

void start_writeback(int fd, off_t from, off_t length) {
    (void)sync_file_range(fd, from, length, SYNC_FILE_RANGE_WRITE);
}

int flush_data(int fd) {
    return result_of(retry_eintr([fd] { return fdatasync(fd); }));
}

int flush_file(int fd) {
    return result_of(retry_eintr([fd] { return fsync(fd); }));
}

int flush_file_system(int fd) {
    return result_of(retry_eintr([fd] { return syncfs(fd); }));
}

int replace_file(int dir, const char* name, std::span<const unsigned char> bytes, mode_t mode) {
    const std::string fresh = std::string(name) + ".new";
    UniqueFd file(
        openat(dir, fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!file.valid())
        return last_error();
    int error = write_all(file.get(), bytes);
    if (error == 0)
        error = flush_data(file.get());
    if (error == 0)
        error = close_checked(file);
    if (error == 0 && renameat(dir, fresh.c_str(), dir, name) != 0)
        error = last_error();
    if (error != 0) {
        (void)unlinkat(dir, fresh.c_str(), 0);
        return error;
    }
    return flush_file(dir);
}

bool take_read_lease(int fd) {
    return fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
}

bool read_lease_held(int fd) {
    // A break under way reports the lease it will be cut to.
    return fcntl(fd, F_GETLEASE) == F_RDLCK;
}

int status_of(int fd, struct stat& status) {
    return result_of(fstat(fd, &status));
}

int access_error(int dir, const char* name, int mode) {
    return result_of(faccessat(dir, name, mode, AT_EACCESS));
}

bool has_acl(int fd, const char* acl) {
    return fgetxattr(fd, acl, nullptr, 0) >= 0;
}

int file_system_of(int fd, struct statfs& status) {
    return result_of(fstatfs(fd, &status));
}
