#include "memory.h"

#include <sys/mman.h>

MappedBuffer::MappedBuffer(std::size_t size) {
    void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return;
    // A hint: without large pages the buffer works all the same.
    (void)madvise(mapped, size, MADV_HUGEPAGE);
    data_ = static_cast<unsigned char*>(mapped);
    size_ = size;
}

MappedBuffer::~MappedBuffer() {
    if (data_ != nullptr)
        (void)munmap(data_, size_);
}
