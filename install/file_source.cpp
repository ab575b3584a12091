#include "file_source.h"

#include <fcntl.h>

namespace {

Failure cannot_open(int error, Problem problem = Problem::none) {
    return {Step::open_update, error, problem};
}

} // namespace

Failure FileSource::open(int dir, const char* path, Walk rules) {
    Resolved located = resolve({dir, path, rules, O_PATH});
    if (located.link())
        return cannot_open(ELOOP, Problem::symbolic_link);
    if (!located.ok())
        return cannot_open(located.error());
    // A regular file put in the walked one's place since is opened as it is:
    // it lies in the tree all the same. Without /proc it is opened by its
    // path again, which may meet a link swapped in meanwhile.
    const UniqueFd file = located.take();
    Opened opened = open_regular(file.get(), {dir, path, rules, O_RDONLY});
    if (opened.link)
        return cannot_open(ELOOP, Problem::symbolic_link);
    if (opened.not_regular)
        return cannot_open(0, Problem::not_regular);
    if (!opened.fd.valid())
        return cannot_open(opened.error);
    fd_ = std::move(opened.fd);
    status_ = opened.status;
    return {};
}

IoResult FileSource::first_block(std::span<unsigned char, BLOCK_SIZE> block) {
    return pread_some(fd_.get(), block, 0);
}

IoResult FileSource::read(std::span<unsigned char> bytes) {
    return read_full(fd_.get(), bytes);
}

IoResult FileSource::read_at(std::span<unsigned char> bytes, off_t offset) {
    return pread_full(fd_.get(), bytes, offset);
}

bool FileSource::lease() {
    return take_read_lease(fd_.get());
}

bool FileSource::lease_held() const {
    return read_lease_held(fd_.get());
}

bool FileSource::unchanged() {
    struct stat now {};
    return status_of(fd_.get(), now) == 0 && same_file_unchanged(now, status_);
}
