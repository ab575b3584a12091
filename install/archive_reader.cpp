#include "archive_reader.h"

#include <archive.h>
#include <archive_entry.h>

namespace {

// What the library reads from the file at a time.
constexpr std::size_t READ_BLOCK = std::size_t{256} * 1024;

MemberKind kind_of(archive_entry* entry) {
    if (archive_entry_hardlink(entry) != nullptr)
        return MemberKind::hard_link;
    switch (archive_entry_filetype(entry)) {
    case AE_IFREG:
        return MemberKind::regular;
    case AE_IFDIR:
        return MemberKind::directory;
    case AE_IFLNK:
        return MemberKind::symbolic_link;
    default:
        return MemberKind::other;
    }
}

} // namespace

ArchiveReader::~ArchiveReader() {
    if (archive_ != nullptr)
        archive_read_free(archive_);
    if (names_ != nullptr)
        freelocale(names_);
}

void ArchiveReader::take_error() {
    const char* text = archive_error_string(archive_);
    error_ = text != nullptr ? text : "damaged archive";
}

bool ArchiveReader::open(int fd, const struct stat& status) {
    fd_ = fd;
    status_ = status;
    // Names are taken as their bytes: a name that a pax header gives in
    // UTF-8 would otherwise be converted to the C locale's ASCII, and every
    // other byte replaced.
    names_ = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    archive_ = archive_read_new();
    if (archive_ == nullptr) {
        error_ = "out of memory";
        return false;
    }
    // A filter that the library would run as another program fails: root
    // runs nothing but this.
    if (archive_read_support_format_tar(archive_) != ARCHIVE_OK ||
        archive_read_support_filter_gzip(archive_) != ARCHIVE_OK ||
        archive_read_support_filter_xz(archive_) != ARCHIVE_OK ||
        archive_read_support_filter_zstd(archive_) != ARCHIVE_OK) {
        take_error();
        return false;
    }
    const locale_t before = names_ != nullptr ? uselocale(names_) : nullptr;
    const int opened = archive_read_open_fd(archive_, fd, READ_BLOCK);
    if (before != nullptr)
        uselocale(before);
    if (opened != ARCHIVE_OK) {
        take_error();
        return false;
    }
    return true;
}

NextMember ArchiveReader::next(Member& member) {
    archive_entry* entry = nullptr;
    // The library learns the charset at its first header, and keeps it.
    const locale_t before = names_ != nullptr ? uselocale(names_) : nullptr;
    const int status = archive_read_next_header(archive_, &entry);
    if (before != nullptr)
        uselocale(before);
    if (status == ARCHIVE_EOF)
        return NextMember::end;
    // A warning (a name that cannot be converted) leaves the header whole;
    // a header that fails its checksum is damage, though the library would
    // look for the next one.
    if (status != ARCHIVE_OK && status != ARCHIVE_WARN) {
        take_error();
        return NextMember::damaged;
    }
    const char* path = archive_entry_pathname(entry);
    member.path = path != nullptr ? path : "";
    member.kind = kind_of(entry);
    member.size = archive_entry_size(entry);
    member.mode = archive_entry_perm(entry);
    if (member.size < 0) {
        error_ = "a member of negative size";
        return NextMember::damaged;
    }
    return NextMember::member;
}

IoResult ArchiveReader::read(std::span<unsigned char> bytes) {
    IoResult result;
    while (result.count < bytes.size()) {
        const la_ssize_t got =
            archive_read_data(archive_, bytes.data() + result.count, bytes.size() - result.count);
        if (got < 0) {
            take_error();
            result.error = EIO;
            return result;
        }
        if (got == 0)
            break;
        result.count += static_cast<std::size_t>(got);
    }
    return result;
}

std::int64_t ArchiveReader::consumed() const {
    return archive_ != nullptr ? archive_filter_bytes(archive_, -1) : 0;
}

bool ArchiveReader::unchanged() const {
    struct stat now {};
    return status_of(fd_, now) == 0 && same_file_unchanged(now, status_);
}
