#include "pack.h"

#include "digest.h"
#include "escaping.h"
#include "fd.h"
#include "file_source.h"
#include "io.h"
#include "manifest.h"
#include "minisign.h"
#include "trust.h"
#include "walk.h"

#include <archive.h>
#include <archive_entry.h>
#include <array>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char PROGRAM[] = "vora-dict-manifest";

// A file to pack, and the digest that its bytes must have, if any.
struct Packed {
    std::string path;
    const Sha256* digest = nullptr;
};

bool report(const std::string& what, const std::string& why) {
    (void)std::fprintf(stderr, "%s: %s: %s\n", PROGRAM, escaped(what).c_str(),
                       escaped(why).c_str());
    return false;
}

// The tar stream, written through the compressor.
class Writer {
  public:
    explicit Writer(int fd) : fd_(fd) {}
    ~Writer() {
        if (archive_ != nullptr)
            archive_write_free(archive_);
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    bool open(Compression compression, bool binary_names) {
        archive_ = archive_write_new();
        if (archive_ == nullptr || archive_write_set_format_pax_restricted(archive_) != ARCHIVE_OK)
            return false;
        binary_names_ = binary_names;
        if (binary_names &&
            archive_write_set_format_option(archive_, "pax", "hdrcharset", "BINARY") != ARCHIVE_OK)
            return false;
        if (!compressor_.open(fd_, compression))
            return false;
        return archive_write_open2(archive_, this, nullptr, put, nullptr, nullptr) == ARCHIVE_OK;
    }

    // A member of the regular file with status, named path (its bytes).
    bool start(const std::string& path, const struct stat& status) {
        archive_entry* entry = archive_entry_new();
        // Binary names are written as the bytes given; UTF-8 ones as UTF-8,
        // which no locale converts.
        if (binary_names_)
            archive_entry_copy_pathname(entry, path.c_str());
        else
            archive_entry_update_pathname_utf8(entry, path.c_str());
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, status.st_mode & 0777);
        archive_entry_set_size(entry, status.st_size);
        archive_entry_set_mtime(entry, status.st_mtim.tv_sec, status.st_mtim.tv_nsec);
        archive_entry_set_uid(entry, 0);
        archive_entry_set_gid(entry, 0);
        archive_entry_set_uname(entry, "root");
        archive_entry_set_gname(entry, "root");
        const bool written = archive_write_header(archive_, entry) == ARCHIVE_OK;
        archive_entry_free(entry);
        return written;
    }

    bool write(std::span<const unsigned char> bytes) {
        return archive_write_data(archive_, bytes.data(), bytes.size()) ==
               static_cast<la_ssize_t>(bytes.size());
    }

    bool close() { return archive_write_close(archive_) == ARCHIVE_OK && compressor_.close(); }

    [[nodiscard]] std::string error() const {
        if (!compressor_.error().empty())
            return compressor_.error();
        const char* text = archive_ != nullptr ? archive_error_string(archive_) : nullptr;
        return text != nullptr ? text : "cannot write the archive";
    }

  private:
    static la_ssize_t put(::archive* /*library*/, void* self, const void* bytes, size_t size) {
        auto& writer = *static_cast<Writer*>(self);
        if (!writer.compressor_.write({static_cast<const unsigned char*>(bytes), size}))
            return -1;
        return static_cast<la_ssize_t>(size);
    }

    int fd_;
    ::archive* archive_ = nullptr;
    bool binary_names_ = false;
    Compressor compressor_;
};

// Copies the file's bytes into its member, hashed as they are packed.
bool copy_member(Writer& writer, FileSource& update, const Packed& file, Sha256Stream& hashed) {
    static std::array<unsigned char, std::size_t{256} * 1024> chunk;
    for (off_t packed = 0; packed < update.length();) {
        const auto wanted =
            static_cast<std::size_t>(std::min<off_t>(update.length() - packed, chunk.size()));
        const IoResult got = update.read({chunk.data(), wanted});
        if (got.error != 0)
            return report(file.path, std::strerror(got.error));
        if (got.count < wanted)
            return report(file.path, "shorter than it was");
        if (!writer.write({chunk.data(), got.count}))
            return report(file.path, writer.error());
        hashed.add({chunk.data(), got.count});
        packed += static_cast<off_t>(got.count);
    }
    return true;
}

// Packs the file at path below top; with a digest, its bytes must have it.
bool pack_file(Writer& writer, int top, const Packed& file) {
    FileSource update;
    if (const Failure opened = update.open(top, file.path.c_str(), Walk::beneath | Walk::no_links);
        opened.failed())
        return report(file.path,
                      opened.error != 0 ? std::strerror(opened.error) : failure_reason(opened));
    if (!writer.start(file.path, update.status()))
        return report(file.path, writer.error());
    Sha256Stream hashed;
    if (!copy_member(writer, update, file, hashed))
        return false;
    Sha256 digest{};
    if (!update.unchanged())
        return report(file.path, "changed while it was packed");
    if (file.digest != nullptr && (!hashed.finish(digest) || digest != *file.digest))
        return report(file.path, "does not match the manifest (run vora-dict-manifest again, "
                                 "and sign anew)");
    return true;
}

// What goes into the archive, in order: the manifest and its signature,
// when there, then the files.
struct Members {
    std::optional<Manifest> manifest;
    std::optional<std::string> manifest_text;
    std::optional<std::string> signature;
    std::vector<Packed> files;
};

// What goes into the archive; false when the manifest is bad.
bool list_members(const PackRequest& request, Members& members) {
    const std::string manifest_path = request.directory + "/" + std::string(MANIFEST_NAME);
    TopFile manifest = read_top_file(request.top, MANIFEST_NAME, MOST_MANIFEST_BYTES);
    if (manifest.present && !manifest.text)
        return report(manifest_path, "cannot be read, or larger than 32 MiB");
    if (!manifest.text) {
        std::size_t left_out = 0;
        for (const TreeFile& file : list_tree(request.top, request.excluded, left_out))
            if (file.entry == TreeEntry::regular)
                members.files.push_back({file.path});
        return true;
    }
    members.manifest_text = manifest.text;
    ParsedManifest parsed = parse_manifest(std::move(*manifest.text));
    if (!parsed.manifest)
        return report(manifest_path, parsed.error);
    members.manifest = std::move(parsed.manifest);
    members.files.push_back({std::string(MANIFEST_NAME)});
    TopFile signature = read_top_file(request.top, SIGNATURE_NAME, MOST_SIGNATURE_BYTES);
    if (signature.present && !signature.text)
        return report(request.directory + "/" + std::string(SIGNATURE_NAME), "cannot be read");
    members.signature = std::move(signature.text);
    if (members.signature)
        members.files.push_back({std::string(SIGNATURE_NAME)});
    for (const ManifestEntry& entry : members.manifest->entries)
        members.files.push_back({std::string(entry.path), &entry.digest});
    return true;
}

// With a public key: the signature must be there and verify by it, over the
// manifest as it is; -1 to go on, else the exit status.
int check_signature(const PackRequest& request, const Members& members) {
    if (!request.key)
        return -1;
    const std::string signature_path = request.directory + "/" + std::string(SIGNATURE_NAME);
    const std::optional<PublicKey> key = read_public_key(*request.key);
    if (!key)
        return report(*request.key, "cannot be read as a minisign public key"), 2;
    if (!members.manifest_text || !members.signature)
        return report(signature_path, "missing: nothing to verify (sign it: minisign -Sm " +
                                          request.directory + "/" + std::string(MANIFEST_NAME) +
                                          ")"),
               2;
    const std::optional<Signature> signature = parse_signature(*members.signature);
    const std::string& text = *members.manifest_text;
    if (!signature || signature->key_id != key->id ||
        verify(*key, *signature,
               {reinterpret_cast<const unsigned char*>(text.data()), text.size()}) != Verdict::good)
        return report(signature_path, "does not verify by the key in " + *request.key +
                                          " (sign it anew: minisign -Sm " + request.directory +
                                          "/" + std::string(MANIFEST_NAME) + ")"),
               2;
    return -1;
}

// Packs the members into the file open as out; false, reported, when not.
bool pack_into(int out, const PackRequest& request, const Members& members,
               const std::string& fresh) {
    const bool binary = std::any_of(members.files.begin(), members.files.end(),
                                    [](const Packed& file) { return !is_utf8(file.path); });
    Writer writer(out);
    bool packed =
        writer.open(*compression_of(request.archive_name), binary) || report(fresh, writer.error());
    for (std::size_t i = 0; packed && i < members.files.size(); ++i)
        packed = pack_file(writer, request.top, members.files[i]);
    return packed && (writer.close() || report(fresh, writer.error()));
}

// The archive's line on standard output, and for a manifest without a
// signature the note that the archive is unsigned, on standard error.
int say_packed(const PackRequest& request, const Members& members) {
    const std::size_t listed =
        members.files.size() - (members.manifest ? 1 : 0) - (members.signature ? 1 : 0);
    if (members.manifest && !members.signature)
        report(request.archive_name, "unsigned: no signature beside " + request.directory + "/" +
                                         std::string(MANIFEST_NAME) + " (sign it: minisign -Sm " +
                                         request.directory + "/" + std::string(MANIFEST_NAME) +
                                         ")");
    std::printf("%s: %s%s\n", escaped(request.archive_name).c_str(), files_text(listed).c_str(),
                !members.manifest   ? ", no manifest"
                : members.signature ? ", with the manifest and its signature"
                                    : ", with the manifest, unsigned");
    return std::fflush(stdout) == 0 ? 0 : 1;
}

} // namespace

std::optional<Compression> compression_of(std::string_view archive_name) {
    const std::string_view name = archive_name.substr(archive_name.rfind('/') + 1);
    if (name.size() > 4 && name.ends_with(".tar"))
        return Compression::none;
    if (name.size() > 7 && name.ends_with(".tar.gz"))
        return Compression::gzip;
    if (name.size() > 7 && name.ends_with(".tar.xz"))
        return Compression::xz;
    if (name.size() > 8 && name.ends_with(".tar.zst"))
        return Compression::zstd;
    return std::nullopt;
}

int pack_archive(const PackRequest& request) {
    Members members;
    if (!list_members(request, members))
        return 1;
    if (const int status = check_signature(request, members); status >= 0)
        return status;
    // Written beside its place and renamed there once whole, so that a host
    // never meets half an archive under its name.
    const std::string fresh = request.archive_name + ".new";
    UniqueFd out(open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!out.valid())
        return report(fresh, std::strerror(last_error())), 1;
    bool packed = pack_into(out.get(), request, members, fresh);
    int error = 0;
    if (packed &&
        ((error = flush_data(out.get())) != 0 || (error = close_checked(out)) != 0 ||
         (rename(fresh.c_str(), request.archive_name.c_str()) != 0 && (error = errno) != 0)))
        packed = report(request.archive_name, std::strerror(error));
    if (!packed) {
        (void)unlink(fresh.c_str());
        return 1;
    }
    return say_packed(request, members);
}
