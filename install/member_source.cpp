#include "member_source.h"

#include "body_copy.h"

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

StreamSource::StreamSource(ArchiveReader& archive, const Member& member, const Sha256* expected)
    : archive_(archive), status_(member_status(member.size, member.mode)), expected_(expected) {
    const IoResult got = hold(BLOCK_SIZE);
    first_size_ = got.count;
    std::copy_n(held_.begin(), first_size_, first_.begin());
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

void StreamSource::drop_before(off_t offset) {
    const auto dropped = static_cast<std::size_t>(
        std::clamp<off_t>(offset - held_start_, 0, static_cast<off_t>(held_.size())));
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(dropped));
    held_start_ += static_cast<off_t>(dropped);
}

IoResult StreamSource::first_block(std::span<unsigned char, BLOCK_SIZE> block) {
    std::copy_n(first_.begin(), first_size_, block.begin());
    return {first_size_, 0};
}

IoResult StreamSource::read(std::span<unsigned char> bytes) {
    const IoResult got = hold(bytes.size());
    const std::size_t count = std::min(bytes.size(), held_.size());
    std::copy_n(held_.begin(), count, bytes.begin());
    drop_before(held_start_ + static_cast<off_t>(count));
    return {count, got.error};
}

Comparison StreamSource::compare_with(int copy, Decoding decoding) {
    for (off_t at = 0; at < length();) {
        // What lies before at was compared, and is in place.
        drop_before(at);
        const auto size = static_cast<std::size_t>(std::min<off_t>(length() - at, CHUNK_SIZE));
        const IoResult got = hold(size);
        if (got.error != 0 || got.count < size ||
            !chunk_in_copy({held_.data(), size}, decoding, copy, at))
            return {false, held_start_};
        at += static_cast<off_t>(size);
    }
    return {true, held_start_};
}

bool StreamSource::matches() {
    const std::optional<Sha256> all = digest();
    return all && (expected_ == nullptr || *all == *expected_);
}

std::optional<Sha256> StreamSource::digest() {
    if (taken_ < length() || damaged_)
        return std::nullopt;
    if (!digest_) {
        Sha256 digest{};
        if (hashed_.finish(digest))
            digest_ = digest;
    }
    return digest_;
}

bool StreamSource::unchanged() {
    return held_start_ + static_cast<off_t>(held_.size()) == length() && held_.empty() &&
           archive_.unchanged() && matches();
}

StreamEnd StreamSource::finish() {
    while (taken_ < length() && !damaged_) {
        held_.clear();
        if (hold(CHUNK_SIZE).error != 0)
            break;
    }
    held_.clear();
    if (damaged_)
        return StreamEnd::damaged;
    return matches() ? StreamEnd::whole : StreamEnd::mismatch;
}
