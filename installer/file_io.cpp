#include "file_io.h"

#include <cerrno>
#include <unistd.h>

ssize_t read_full(int fd, unsigned char* buf, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = read(fd, buf + got, size - got);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

namespace {

// Writes all size bytes through write_some(bytes, count, done), where done
// is how many were placed before, looping over partial writes and EINTR.
template <typename WriteSome>
bool write_whole(const unsigned char* buf, std::size_t size, WriteSome write_some) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = write_some(buf + done, size - done, done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = ENOSPC;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

bool write_all(int fd, const unsigned char* buf, std::size_t size) {
    return write_whole(buf, size, [fd](const unsigned char* bytes, std::size_t count, std::size_t) {
        return write(fd, bytes, count);
    });
}

bool write_all_at(int fd, const unsigned char* buf, std::size_t size, off_t offset) {
    return write_whole(
        buf, size, [fd, offset](const unsigned char* bytes, std::size_t count, std::size_t done) {
            return pwrite(fd, bytes, count, offset + static_cast<off_t>(done));
        });
}
