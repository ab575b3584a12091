#include "verified_source.h"

#include <array>

namespace {

constexpr std::size_t CHUNK_SIZE = std::size_t{256} * 1024;
alignas(64) std::array<unsigned char, CHUNK_SIZE> hashed_chunk;

} // namespace

Failure VerifiedSource::verify() {
    verified_ = false;
    // Hashed ahead under a lease that still holds: the bytes are those hashed.
    if (prehashed_ && same_file_unchanged(prehashed_->status, update_.status()) &&
        read_lease_held(prehashed_->leased.get())) {
        if (prehashed_->digest != expected_)
            return {Step::open_update, 0, Problem::hash_mismatch};
        verified_ = true;
        leased_ = true;
        return {};
    }
    prehashed_.reset();
    // Taken before the bytes are read, so that a writer meanwhile shows.
    leased_ = update_.length() >= LEASE_FROM && update_.lease();
    Sha256Stream whole;
    for (off_t at = 0; at < update_.length();) {
        const std::size_t size =
            static_cast<std::size_t>(std::min<off_t>(update_.length() - at, CHUNK_SIZE));
        const IoResult got = update_.read_at({hashed_chunk.data(), size}, at);
        if (got.error != 0)
            return {Step::open_update, got.error, Problem::none};
        if (got.count == 0)
            break; // shorter than it was: the digest tells
        whole.add({hashed_chunk.data(), got.count});
        at += static_cast<off_t>(got.count);
    }
    Sha256 digest{};
    if (!whole.finish(digest) || digest != expected_)
        return {Step::open_update, 0, Problem::hash_mismatch};
    verified_ = true;
    return {};
}

IoResult VerifiedSource::first_block(std::span<unsigned char, BLOCK_SIZE> block) {
    return update_.first_block(block);
}

IoResult VerifiedSource::read(std::span<unsigned char> bytes) {
    const IoResult got = update_.read(bytes);
    if (!leased_)
        copied_.add(bytes.first(got.count));
    return got;
}

IoResult VerifiedSource::read_at(std::span<unsigned char> bytes, off_t offset) {
    return update_.read_at(bytes, offset);
}

bool VerifiedSource::unchanged() {
    if (!verified_ || !update_.unchanged())
        return false;
    if (prehashed_)
        return read_lease_held(prehashed_->leased.get());
    if (leased_)
        return !update_.lease_broken();
    Sha256 digest{};
    return copied_.finish(digest) && digest == expected_;
}
