#include "archive_reader.h"

#include <archive.h>
#include <archive_entry.h>
#include <cstring>

namespace {

MemberKind kind_of(archive_entry* entry) {
    if (archive_entry_hardlink(entry) != nullptr)
        return MemberKind::hard_link;
    if (archive_entry_sparse_count(entry) > 0)
        return MemberKind::other;
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

// Calls call with names read as their bytes: a name that a pax header
// gives in UTF-8 would otherwise be converted to the C locale's ASCII, and
// every other byte replaced.
template <typename Call>
auto in_names_locale(locale_t names, Call call) {
    const locale_t before = names != nullptr ? uselocale(names) : nullptr;
    const auto result = call();
    if (before != nullptr)
        uselocale(before);
    return result;
}

} // namespace

struct ArchiveReader::Callbacks {
    // The bytes decompressed before damage are handed over first, and the
    // damage with the next call, so that it shows where it is.
    static la_ssize_t read(::archive* library, void* self, const void** buffer) {
        auto& reader = *static_cast<ArchiveReader*>(self);
        const IoResult got =
            reader.damaged_ ? IoResult{0, EIO} : reader.decompressor_.read(reader.block_);
        reader.damaged_ = got.error != 0;
        if (got.error != 0 && got.count == 0) {
            archive_set_error(library, EIO, "%s", reader.decompressor_.error().c_str());
            return -1;
        }
        *buffer = reader.block_.data();
        return static_cast<la_ssize_t>(got.count);
    }

    static la_int64_t skip(::archive* /*library*/, void* self, la_int64_t request) {
        return static_cast<ArchiveReader*>(self)->decompressor_.skip(request);
    }
};

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
    names_ = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    if (!decompressor_.open(fd)) {
        error_ = decompressor_.error();
        return false;
    }
    archive_ = archive_read_new();
    if (archive_ == nullptr) {
        error_ = "out of memory";
        return false;
    }
    if (archive_read_support_format_tar(archive_) != ARCHIVE_OK) {
        take_error();
        return false;
    }
    const int opened = in_names_locale(names_, [this] {
        return archive_read_open2(archive_, this, nullptr, Callbacks::read, Callbacks::skip,
                                  nullptr);
    });
    if (opened != ARCHIVE_OK) {
        take_error();
        return false;
    }
    return true;
}

NextMember ArchiveReader::next(Member& member) {
    archive_entry* entry = nullptr;
    // The library learns the charset at its first header, and keeps it.
    const int status =
        in_names_locale(names_, [&] { return archive_read_next_header(archive_, &entry); });
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
    member.sparse = archive_entry_sparse_count(entry) > 0;
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

bool ArchiveReader::skip() {
    if (archive_read_data_skip(archive_) == ARCHIVE_OK)
        return true;
    take_error();
    return false;
}

bool ArchiveReader::finish() {
    if (decompressor_.finish())
        return true;
    error_ = decompressor_.error();
    return false;
}

bool ArchiveReader::unchanged() const {
    struct stat now {};
    return status_of(fd_, now) == 0 && same_file_unchanged(now, status_);
}
