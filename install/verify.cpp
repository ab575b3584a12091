#include "verify.h"

#include "block_encoding.h"
#include "gate.h"
#include "io.h"
#include "mark.h"

#include <array>
#include <fcntl.h>

namespace {

constexpr std::size_t CHUNK = std::size_t{32} * BLOCK_SIZE;

Verified failed(Verified verified, Failure failure) {
    verified.state = VerifyState::failed;
    verified.failure = failure;
    return verified;
}

Failure refused(int error, Problem problem = Problem::none) {
    return {Step::plan, error, problem};
}

Verified with_state(Verified verified, VerifyState state) {
    verified.state = state;
    return verified;
}

// Whether an interrupted install left the copy open as fd with the mark.
bool marked(int fd) {
    Sector first{};
    const IoResult got = pread_full(fd, first, 0);
    return got.error == 0 && got.count == first.size() && first == MARK;
}

// How a copy compared with what was shipped: the same or not, or an error
// reading it.
struct Compared {
    bool same = false;
    int error = 0;
};

// Hashes the copy open as fd as the update has it (an ejd copy encoded
// again block by block) and compares it with digest.
Compared matches_digest(int fd, Decoding decoding, const Sha256& digest) {
    static std::array<unsigned char, CHUNK> read;
    static std::array<unsigned char, CHUNK> encoded;
    Sha256Stream stream;
    for (off_t at = 0;;) {
        const IoResult got = pread_full(fd, read, at);
        if (got.error != 0)
            return {false, got.error};
        std::span<const unsigned char> bytes(read.data(), got.count);
        if (decoding == Decoding::ejd) {
            // Encoding is decoding: each block reversed and complemented.
            decode_blocks(bytes, encoded.data());
            bytes = {encoded.data(), got.count};
        }
        stream.add(bytes);
        at += static_cast<off_t>(got.count);
        if (got.count < read.size())
            break;
    }
    Sha256 copy{};
    return {stream.finish(copy) && copy == digest, 0};
}

// Whether the copy open as fd (its status) is what installing shipped writes.
Compared same_as_shipped(int fd, const struct stat& status, const Shipped& shipped,
                         Decoding decoding) {
    if (shipped.digest != nullptr)
        return matches_digest(fd, decoding, *shipped.digest);
    return {status.st_size == shipped.update->length() &&
                shipped.update->compare_with(fd, decoding).same,
            0};
}

// The copy found, opened for reading and compared.
Verified compare_copy(const Target& target, const Shipped& shipped, Verified verified) {
    const CopyFound& found = *target.found();
    if (!S_ISREG(found.status.st_mode))
        return failed(verified, refused(0, Problem::not_regular));
    const DirectoryOpen& directory = *target.open_directory();
    const Opened opened =
        open_regular(found.located.get(), found.status,
                     {directory.fd, target.destination.name(), Walk::system, O_RDONLY});
    if (!opened.fd.valid())
        return failed(verified, refused(opened.error));
    verified.installed = installed_version(opened.fd.get(), verified.texts.installed_text);
    // The mark says more than the bytes that follow it.
    if (marked(opened.fd.get()))
        return with_state(verified, VerifyState::marked);
    const Compared compared = same_as_shipped(opened.fd.get(), opened.status, shipped,
                                              decoding_of(target.destination.path()));
    if (compared.error != 0)
        return failed(verified, refused(compared.error));
    if (!compared.same)
        return with_state(verified, VerifyState::modified);
    // The copy holds the update's bytes, and so its version.
    verified.update = verified.installed;
    verified.texts.update_text = verified.texts.installed_text;
    return with_state(verified, VerifyState::ok);
}

} // namespace

std::string_view verify_word(VerifyState state) {
    constexpr std::array<std::string_view, 5> WORDS{"ok", "modified", "missing", "marked",
                                                    "failed"};
    return WORDS.at(static_cast<std::size_t>(state));
}

void read_update_version(UpdateSource& update, Decoding decoding, Verified& verified) {
    verified.update = update_version(update, decoding, verified.texts.update_text);
}

Verified verify_installed(std::string_view relative, const Shipped& shipped,
                          Directories& directories) {
    Verified verified;
    Target target;
    if (leaves_the_root(relative))
        return failed(verified, refused(0, Problem::leaves_dictionary));
    if (!target.destination.form(relative))
        return failed(verified, refused(ENAMETOOLONG));
    if (shipped.update == nullptr && shipped.digest == nullptr)
        return failed(verified, {Step::open_update, 0, Problem::missing});
    if (shipped.update != nullptr)
        read_update_version(*shipped.update, decoding_of(target.destination.relative_path()),
                            verified);
    look_up_target(directories, target);
    if (const auto* missing = std::get_if<DirectoryMissing>(&target.directory);
        missing != nullptr && missing->error != ENOENT)
        return failed(verified, refused(missing->error));
    if (const auto* none = std::get_if<NoCopy>(&target.file)) {
        if (none->dangling)
            return failed(verified, refused(0, Problem::symbolic_link));
        return with_state(verified, VerifyState::missing);
    }
    return compare_copy(target, shipped, verified);
}
