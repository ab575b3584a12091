#include "verified_source.h"

Failure VerifiedSource::verify() {
    verified_ = false;
    // Hashed ahead under a lease that still holds: the bytes are those hashed.
    if (prehashed_ && same_file_unchanged(prehashed_->status, file_.status()) &&
        read_lease_held(prehashed_->leased.get())) {
        if (prehashed_->digest != expected_)
            return {Step::open_update, 0, Problem::hash_mismatch};
        verified_ = true;
        leased_ = true;
        return {};
    }
    prehashed_.reset();
    // Taken before the bytes are read, so that a writer meanwhile shows.
    leased_ = file_.length() >= LEASE_FROM && file_.lease();
    const Digested hashed = digest_of(file_);
    if (hashed.error != 0)
        return {Step::open_update, hashed.error, Problem::none};
    if (!hashed.digest || *hashed.digest != expected_)
        return {Step::open_update, 0, Problem::hash_mismatch};
    verified_ = true;
    return {};
}

IoResult VerifiedSource::first_block(std::span<unsigned char, BLOCK_SIZE> block) {
    return file_.first_block(block);
}

IoResult VerifiedSource::read(std::span<unsigned char> bytes) {
    const IoResult got = file_.read(bytes);
    if (!leased_)
        copied_.add(bytes.first(got.count));
    return got;
}

IoResult VerifiedSource::read_at(std::span<unsigned char> bytes, off_t offset) {
    return file_.read_at(bytes, offset);
}

bool VerifiedSource::unchanged() {
    if (!verified_ || !file_.unchanged())
        return false;
    if (prehashed_)
        return read_lease_held(prehashed_->leased.get());
    if (leased_)
        return file_.lease_held();
    Sha256 digest{};
    return copied_.finish(digest) && digest == expected_;
}
