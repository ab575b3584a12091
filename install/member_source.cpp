#include "member_source.h"

#include <algorithm>
#include <cstring>

struct stat member_status(off_t size, mode_t mode) {
    struct stat status {};
    status.st_mode = S_IFREG | (mode & 07777);
    status.st_size = size;
    status.st_nlink = 1;
    return status;
}

IoResult SpooledSource::first_block(std::span<unsigned char, BLOCK_SIZE> block) {
    return read_at(block, 0);
}

IoResult SpooledSource::read(std::span<unsigned char> bytes) {
    const IoResult got = read_at(bytes, static_cast<off_t>(read_));
    read_ += got.count;
    return got;
}

IoResult SpooledSource::read_at(std::span<unsigned char> bytes, off_t offset) {
    const auto at = std::min(static_cast<std::size_t>(offset), bytes_.size());
    const std::size_t count = std::min(bytes.size(), bytes_.size() - at);
    std::memcpy(bytes.data(), bytes_.data() + at, count);
    return {count, 0};
}

IoResult StreamSource::hold(std::size_t size) {
    const std::size_t had = held_.size();
    const auto wanted = static_cast<std::size_t>(
        std::min<off_t>(static_cast<off_t>(size - std::min(size, had)), length() - taken_));
    if (wanted == 0)
        return {std::min(size, had), 0};
    held_.resize(had + wanted);
    const IoResult got = archive_.read({held_.data() + had, wanted});
    held_.resize(had + got.count);
    hashed_.add({held_.data() + had, got.count});
    taken_ += static_cast<off_t>(got.count);
    // A member that ends before its header's length is damage too.
    if (got.error != 0 || got.count < wanted) {
        damaged_ = true;
        return {held_.size(), EIO};
    }
    return {held_.size(), 0};
}

IoResult StreamSource::start() {
    const IoResult got = hold(BLOCK_SIZE);
    first_size_ = got.count;
    std::copy_n(held_.begin(), first_size_, first_.begin());
    return got;
}

IoResult StreamSource::first_block(std::span<unsigned char, BLOCK_SIZE> block) {
    std::copy_n(first_.begin(), first_size_, block.begin());
    return {first_size_, 0};
}

IoResult StreamSource::read_at(std::span<unsigned char> bytes, off_t offset) {
    const off_t skipped = offset - held_start_;
    if (skipped < 0 || skipped > static_cast<off_t>(held_.size()))
        return {0, ESPIPE};
    // What lies before offset was compared, and is in place.
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(skipped));
    held_start_ = offset;
    const IoResult got = hold(bytes.size());
    const std::size_t count = std::min(bytes.size(), held_.size());
    std::copy_n(held_.begin(), count, bytes.begin());
    return {count, got.error};
}

IoResult StreamSource::read(std::span<unsigned char> bytes) {
    const IoResult got = hold(bytes.size());
    const std::size_t count = std::min(bytes.size(), held_.size());
    std::copy_n(held_.begin(), count, bytes.begin());
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(count));
    held_start_ += static_cast<off_t>(count);
    return {count, got.error};
}

bool StreamSource::matches() {
    if (taken_ < length() || damaged_)
        return false;
    if (expected_ == nullptr)
        return true;
    if (!digest_right_) {
        Sha256 digest{};
        digest_right_ = hashed_.finish(digest) && digest == *expected_;
    }
    return *digest_right_;
}

bool StreamSource::unchanged() {
    return held_start_ == length() && archive_.unchanged() && matches();
}

bool StreamSource::drain() {
    constexpr std::size_t CHUNK = std::size_t{256} * 1024;
    while (taken_ < length() && !damaged_) {
        held_.clear();
        if (hold(CHUNK).error != 0)
            break;
    }
    held_.clear();
    return !damaged_;
}
