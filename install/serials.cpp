#include "serials.h"

#include "fd.h"
#include "io.h"
#include "manifest.h"
#include "resolve.h"

#include <cstring>
#include <fcntl.h>

namespace {

// The most that a record may hold: a few thousand lines.
constexpr std::size_t MOST_RECORD_BYTES = std::size_t{1} << 20;

// Why a file or directory of the record, open as fd, could be changed by
// another than root; "" when it cannot.
std::string open_to_others(int fd, bool directory) {
    struct stat status {};
    if (const int error = status_of(fd, status))
        return std::strerror(error);
    if (directory != S_ISDIR(status.st_mode))
        return directory ? "not a directory" : "not a regular file";
    if (status.st_uid != 0)
        return "not root's";
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "writable by others than root";
    return "";
}

Resolved open_record(const char* path, int flags) {
    return resolve({AT_FDCWD, path, Walk::system, flags | O_NOFOLLOW | O_NONBLOCK});
}

// The directories that hold the record, which whoever could write to could swap.
std::string directories_open_to_others() {
    for (const char* path : {"/var/lib", SERIALS_DIRECTORY}) {
        Resolved opened = open_record(path, O_RDONLY | O_DIRECTORY);
        if (opened.error() == ENOENT)
            return "";
        const std::string why = opened.ok() ? open_to_others(opened.reached().fd.get(), true)
                                            : std::strerror(opened.error());
        if (!why.empty())
            return std::string(path) + ": " + why;
    }
    return "";
}

std::optional<std::uint64_t> decimal(std::string_view text) {
    if (text.empty() || text.size() > 20)
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (c < '0' || c > '9' || value > (UINT64_MAX - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// One line of the record into serials; false when it is not one.
bool take_line(std::string_view line, std::map<ReleaseLine, std::uint64_t>& serials) {
    if (line.empty() || line.starts_with('#'))
        return true;
    const std::size_t first = line.find(' ');
    const std::size_t second = line.find(' ', first + 1);
    const std::optional<KeyId> key = parse_key_id(line.substr(0, first));
    const std::optional<std::uint64_t> serial =
        first == std::string_view::npos ? std::nullopt
                                        : decimal(line.substr(first + 1, second - first - 1));
    const std::string_view name = second == std::string_view::npos ? "" : line.substr(second + 1);
    if (!key || !serial || (second != std::string_view::npos && !is_release_name(name)))
        return false;
    std::uint64_t& recorded = serials[{*key, std::string(name)}];
    recorded = std::max(recorded, *serial);
    return true;
}

SerialRecord parse_record(const std::string& text) {
    SerialRecord record;
    std::size_t number = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        ++number;
        if (!take_line(std::string_view(text).substr(at, end - at), record.serials)) {
            record.serials.clear();
            record.error = "line " + std::to_string(number) +
                           ": neither a comment nor a key ID, a serial and a release name";
            return record;
        }
        at = end + 1;
    }
    return record;
}

SerialRecord untrusted(std::string why) {
    SerialRecord record;
    record.error = std::string(SERIALS_PATH) + ": " + std::move(why);
    return record;
}

} // namespace

SerialRecord read_serials() {
    if (std::string why = directories_open_to_others(); !why.empty()) {
        SerialRecord record;
        record.error = std::move(why);
        return record;
    }
    Resolved opened = open_record(SERIALS_PATH, O_RDONLY);
    if (opened.error() == ENOENT)
        return {};
    if (!opened.ok())
        return untrusted(opened.link() || opened.error() == ELOOP ? "a symbolic link"
                                                                  : std::strerror(opened.error()));
    const UniqueFd fd = opened.take();
    if (std::string why = open_to_others(fd.get(), false); !why.empty())
        return untrusted(why);
    struct stat status {};
    std::string text;
    if (status_of(fd.get(), status) != 0 ||
        static_cast<std::size_t>(status.st_size) > MOST_RECORD_BYTES)
        return untrusted("larger than a record is");
    text.resize(static_cast<std::size_t>(status.st_size));
    const IoResult got =
        pread_full(fd.get(), {reinterpret_cast<unsigned char*>(text.data()), text.size()}, 0);
    if (got.error != 0)
        return untrusted(std::strerror(got.error));
    text.resize(got.count);
    SerialRecord record = parse_record(text);
    if (!record.trusted())
        record.error = std::string(SERIALS_PATH) + ": " + record.error;
    return record;
}

std::string serials_text(const std::map<ReleaseLine, std::uint64_t>& serials) {
    std::string text;
    for (const auto& [line, serial] : serials) {
        text.append(key_id_text(line.first)).append(" ").append(std::to_string(serial));
        if (!line.second.empty())
            text.append(" ").append(line.second);
        text += '\n';
    }
    return text;
}

std::string record_serial(const ReleaseLine& line, std::uint64_t serial) {
    SerialRecord record = read_serials();
    if (!record.trusted())
        return record.error;
    std::uint64_t& recorded = record.serials[line];
    recorded = std::max(recorded, serial);
    const std::string text = serials_text(record.serials);
    if (mkdir(SERIALS_DIRECTORY, 0755) != 0 && errno != EEXIST)
        return std::string(SERIALS_DIRECTORY) + ": " + std::strerror(last_error());
    Resolved opened = open_record(SERIALS_DIRECTORY, O_RDONLY | O_DIRECTORY);
    if (!opened.ok())
        return std::string(SERIALS_DIRECTORY) + ": " + std::strerror(opened.error());
    const UniqueFd directory = opened.take();
    if (const int error =
            replace_file(directory.get(), "serials",
                         {reinterpret_cast<const unsigned char*>(text.data()), text.size()}, 0644))
        return std::string(SERIALS_PATH) + ": " + std::strerror(error);
    return "";
}
