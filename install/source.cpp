#include "source.h"

#include "body_copy.h"

#include <array>

Decoding decoding_of(const char* installed_path) {
    return is_ejd_name(installed_path) ? Decoding::ejd : Decoding::plain;
}

Comparison RereadableSource::compare_with(int copy, Decoding decoding) {
    return {same_as_copy(*this, copy, decoding), 0};
}

std::optional<Sha256> RereadableSource::digest() {
    return digest_of(*this).digest;
}

Digested digest_of(RereadableSource& source) {
    // Per thread: a second thread hashes files ahead of the install.
    thread_local std::array<unsigned char, CHUNK_SIZE> chunk;
    Sha256Stream stream;
    for (off_t at = 0; at < source.length();) {
        const auto size =
            static_cast<std::size_t>(std::min<off_t>(source.length() - at, CHUNK_SIZE));
        const IoResult got = source.read_at({chunk.data(), size}, at);
        if (got.error != 0)
            return {std::nullopt, got.error};
        if (got.count == 0)
            break; // shorter than it was: the digest tells
        stream.add({chunk.data(), got.count});
        at += static_cast<off_t>(got.count);
    }
    Sha256 digest{};
    if (!stream.finish(digest))
        return {};
    return {digest, 0};
}
