// Large buffers of the run's own memory, mapped from the system rather than
// taken from the heap: their pages are asked for in large pages where the
// kernel gives them, so that filling many megabytes costs a few page faults
// rather than one each 4 KiB.
#pragma once

#include <cstddef>
#include <span>

class MappedBuffer {
  public:
    // size bytes, none touched yet; empty when the system gives none.
    explicit MappedBuffer(std::size_t size);
    MappedBuffer(const MappedBuffer&) = delete;
    MappedBuffer& operator=(const MappedBuffer&) = delete;
    ~MappedBuffer();

    [[nodiscard]] std::span<unsigned char> bytes() const { return {data_, size_}; }
    [[nodiscard]] bool valid() const { return data_ != nullptr; }

  private:
    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
};
