#include "pack.h"

#include "digest.h"
#include "fd.h"
#include "file_source.h"
#include "io.h"
#include "manifest.h"
#include "trust.h"
#include "walk.h"

#include <archive.h>
#include <archive_entry.h>
#include <array>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
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
    (void)std::fprintf(stderr, "%s: %s: %s\n", PROGRAM, what.c_str(), why.c_str());
    return false;
}

// Reads the tree's file at path whole, when it is there; nullopt when not.
std::optional<std::string> read_tree_file(int top, std::string_view path, bool& failed) {
    TopFile file = read_top_file(top, path, MOST_MANIFEST_BYTES);
    failed = file.present && !file.text;
    return std::move(file.text);
}

class Writer {
  public:
    explicit Writer(int fd) : fd_(fd) {}
    ~Writer() {
        if (archive_ != nullptr)
            archive_write_free(archive_);
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    bool open(Compression compression) {
        archive_ = archive_write_new();
        if (archive_ == nullptr || archive_write_set_format_pax_restricted(archive_) != ARCHIVE_OK)
            return false;
        int filtered = ARCHIVE_OK;
        if (compression == Compression::gzip)
            filtered = archive_write_add_filter_gzip(archive_);
        else if (compression == Compression::xz)
            filtered = archive_write_add_filter_xz(archive_);
        else if (compression == Compression::zstd)
            filtered = archive_write_add_filter_zstd(archive_);
        return filtered == ARCHIVE_OK && archive_write_open_fd(archive_, fd_) == ARCHIVE_OK;
    }

    // A member of the regular file with status, named path.
    bool start(const std::string& path, const struct stat& status) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, path.c_str());
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

    bool close() { return archive_write_close(archive_) == ARCHIVE_OK; }

    [[nodiscard]] std::string error() const {
        const char* text = archive_ != nullptr ? archive_error_string(archive_) : nullptr;
        return text != nullptr ? text : "cannot write the archive";
    }

  private:
    int fd_;
    ::archive* archive_ = nullptr;
};

// Packs the file at path below top; with a digest, its bytes must have it.
bool pack_file(Writer& writer, int top, const Packed& file) {
    FileSource update;
    if (const Failure opened = update.open(top, file.path.c_str(), Walk::beneath | Walk::no_links);
        opened.failed())
        return report(file.path,
                      opened.error != 0 ? std::strerror(opened.error) : failure_reason(opened));
    if (!writer.start(file.path, update.status()))
        return report(file.path, writer.error());
    static std::array<unsigned char, std::size_t{256} * 1024> chunk;
    Sha256Stream hashed;
    off_t packed = 0;
    while (packed < update.length()) {
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
    std::vector<Packed> files;
    bool signature = false;
};

// The tree being packed.
struct PackedTree {
    int top;
    const std::string& directory;
    std::span<const std::string> excluded;
};

// What goes into the archive; false when the manifest is bad.
bool list_members(const PackedTree& tree, Members& members) {
    const int top = tree.top;
    const std::string& directory = tree.directory;
    std::optional<Manifest>& manifest = members.manifest;
    std::vector<Packed>& files = members.files;
    bool failed = false;
    const std::optional<std::string> text = read_tree_file(top, MANIFEST_NAME, failed);
    const std::string manifest_path = directory + "/" + std::string(MANIFEST_NAME);
    if (failed)
        return report(manifest_path, "cannot be read");
    if (!text) {
        std::size_t left_out = 0;
        for (const TreeFile& file : list_tree(top, tree.excluded, left_out))
            if (file.entry == TreeEntry::regular)
                files.push_back({file.path});
        return true;
    }
    ParsedManifest parsed = parse_manifest(std::string(*text));
    if (!parsed.manifest)
        return report(manifest_path, parsed.error);
    manifest = std::move(parsed.manifest);
    files.push_back({std::string(MANIFEST_NAME)});
    const std::optional<std::string> signed_by = read_tree_file(top, SIGNATURE_NAME, failed);
    if (failed)
        return report(directory + "/" + std::string(SIGNATURE_NAME), "cannot be read");
    members.signature = signed_by.has_value();
    if (members.signature)
        files.push_back({std::string(SIGNATURE_NAME)});
    for (const ManifestEntry& entry : manifest->entries)
        files.push_back({std::string(entry.path), &entry.digest});
    return true;
}

} // namespace

Compression compression_of(std::string_view archive_name) {
    const std::string_view name = archive_name.substr(archive_name.rfind('/') + 1);
    if (name.size() > 4 && name.ends_with(".tar"))
        return Compression::none;
    if (name.size() > 7 && name.ends_with(".tar.gz"))
        return Compression::gzip;
    if (name.size() > 7 && name.ends_with(".tar.xz"))
        return Compression::xz;
    if (name.size() > 8 && name.ends_with(".tar.zst"))
        return Compression::zstd;
    return Compression::unknown;
}

int pack_archive(const std::string& archive_name, int top, const std::string& directory,
                 std::span<const std::string> excluded) {
    Members members;
    if (!list_members({top, directory, excluded}, members))
        return 1;
    const std::vector<Packed>& files = members.files;
    // Written beside its place and renamed there once whole, so that a host
    // never meets half an archive under its name.
    const std::string fresh = archive_name + ".new";
    UniqueFd out(open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!out.valid())
        return report(fresh, std::strerror(last_error())), 1;
    bool packed = false;
    {
        Writer writer(out.get());
        packed = writer.open(compression_of(archive_name)) || report(fresh, writer.error());
        for (std::size_t i = 0; packed && i < files.size(); ++i)
            packed = pack_file(writer, top, files[i]);
        packed = packed && (writer.close() || report(fresh, writer.error()));
    }
    int error = 0;
    if (packed && ((error = flush_data(out.get())) != 0 || (error = close_checked(out)) != 0 ||
                   (rename(fresh.c_str(), archive_name.c_str()) != 0 && (error = errno) != 0)))
        packed = report(archive_name, std::strerror(error));
    if (!packed) {
        (void)unlink(fresh.c_str());
        return 1;
    }
    const std::size_t listed =
        files.size() - (members.manifest ? 1 : 0) - (members.signature ? 1 : 0);
    std::printf("%s: %zu files%s\n", archive_name.c_str(), listed,
                !members.manifest   ? ", no manifest"
                : members.signature ? ", with the manifest and its signature"
                                    : ", with the manifest, unsigned");
    return std::fflush(stdout) == 0 ? 0 : 1;
}
