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

bool write_all(int fd, const unsigned char* buf, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, buf, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = ENOSPC;
        if (n <= 0)
            return false;
        buf += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool write_all_at(int fd, const unsigned char* buf, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t n = pwrite(fd, buf, size, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = ENOSPC;
        if (n <= 0)
            return false;
        buf += n;
        offset += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}
