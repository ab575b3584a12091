#include "manifest.h"

#include "tree_path.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>

namespace {

constexpr std::string_view SERIAL = "# serial: ";
constexpr std::string_view EXPIRES = "# expires: ";
constexpr std::string_view NAME = "# name: ";

bool parse_serial(std::string_view text, std::uint64_t& serial) {
    if (text.empty() || text.size() > 20)
        return false;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    serial = value;
    return true;
}

// The name of a file line, unescaped as sha256sum -c reads it when the line
// starts with a backslash; false for an escape it does not know.
bool unescape(std::string_view text, std::string& name) {
    name.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            name += text[i];
            continue;
        }
        if (++i == text.size())
            return false;
        if (text[i] == '\\')
            name += '\\';
        else if (text[i] == 'n')
            name += '\n';
        else if (text[i] == 'r')
            name += '\r';
        else
            return false;
    }
    return true;
}

// A file line: digest, a space, ' ' (text) or '*' (binary), the name; an
// escaped name is kept unescaped in manifest.
bool parse_file_line(std::string_view line, ManifestEntry& entry, Manifest& manifest) {
    const bool escaped = line.starts_with('\\');
    if (escaped)
        line.remove_prefix(1);
    if (line.size() < 67 || line[64] != ' ' || (line[65] != ' ' && line[65] != '*') ||
        !parse_sha256(line.substr(0, 64), entry.digest))
        return false;
    const std::string_view name = line.substr(66);
    if (!escaped) {
        entry.path = name;
        return true;
    }
    std::string unescaped;
    if (!unescape(name, unescaped))
        return false;
    entry.path = manifest.unescaped.emplace_back(std::move(unescaped));
    return true;
}

ParsedManifest bad(std::size_t line, const std::string& what) {
    return {std::nullopt, "line " + std::to_string(line) + ": " + what};
}

} // namespace

const Sha256* Manifest::digest_of(std::string_view path) const {
    const auto found = std::lower_bound(
        entries.begin(), entries.end(), path,
        [](const ManifestEntry& entry, std::string_view key) { return entry.path < key; });
    return found != entries.end() && found->path == path ? &found->digest : nullptr;
}

bool is_safe_path(std::string_view path) {
    return !path.empty() && !path.starts_with('/') &&
           for_each_component(path, [](std::string_view name, std::string_view) {
               return !name.empty() && name != "." && name != "..";
           });
}

ParsedManifest parse_manifest(std::string owned) {
    Manifest manifest;
    manifest.text = std::make_unique<const std::string>(std::move(owned));
    const std::string_view text = *manifest.text;
    bool serial = false;
    std::size_t number = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (number == 1) {
            if (line != MANIFEST_FORMAT)
                return bad(number, "not a vora-dict-update manifest of format 1");
            continue;
        }
        if (line.starts_with(SERIAL)) {
            if (serial || !parse_serial(line.substr(SERIAL.size()), manifest.serial))
                return bad(number, "a bad serial");
            serial = true;
        } else if (line.starts_with(EXPIRES)) {
            std::int64_t expires = 0;
            if (manifest.expires || !parse_utc(line.substr(EXPIRES.size()), expires))
                return bad(number, "a bad expiry (YYYY-MM-DDTHH:MM:SSZ)");
            manifest.expires = expires;
        } else if (line.starts_with(NAME)) {
            if (!manifest.name.empty() || !is_release_name(line.substr(NAME.size())))
                return bad(number, "a bad name (letters, digits, '.', '-' and '_')");
            manifest.name = line.substr(NAME.size());
        } else if (!line.starts_with('#')) {
            ManifestEntry entry;
            if (!parse_file_line(line, entry, manifest))
                return bad(number, "neither a comment nor a file's digest and path");
            if (!is_safe_path(entry.path))
                return bad(number, "an unsafe path");
            manifest.entries.push_back(entry);
        }
    }
    if (number == 0)
        return bad(1, "empty");
    if (!serial)
        return bad(number, "no serial");
    std::sort(manifest.entries.begin(), manifest.entries.end(),
              [](const ManifestEntry& a, const ManifestEntry& b) { return a.path < b.path; });
    const auto twice = std::adjacent_find(
        manifest.entries.begin(), manifest.entries.end(),
        [](const ManifestEntry& a, const ManifestEntry& b) { return a.path == b.path; });
    if (twice != manifest.entries.end())
        return {std::nullopt, "a path listed twice: " + std::string(twice->path)};
    return {std::move(manifest), ""};
}

bool is_release_name(std::string_view text) {
    return !text.empty() && text.size() <= 64 && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '-' || c == '_';
    });
}

std::string manifest_header(const ManifestHead& head) {
    std::string header = std::string(MANIFEST_FORMAT) + "\n" + std::string(SERIAL) +
                         std::to_string(head.serial) + "\n";
    if (head.expires)
        header.append(EXPIRES).append(utc_text(*head.expires)) += '\n';
    if (!head.name.empty())
        header.append(NAME).append(head.name) += '\n';
    return header;
}

std::string manifest_line(const Sha256& digest, std::string_view path) {
    const bool escape = path.find_first_of("\\\n\r") != std::string_view::npos;
    std::string line = escape ? "\\" : "";
    line += hex_text(digest);
    line += "  ";
    for (const char c : path) {
        if (escape && c == '\\')
            line += "\\\\";
        else if (escape && c == '\n')
            line += "\\n";
        else if (escape && c == '\r')
            line += "\\r";
        else
            line += c;
    }
    return line + "\n";
}

std::string utc_text(std::int64_t seconds) {
    const auto time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&time, &parts);
    std::array<char, 32> text{};
    (void)std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text.data();
}

bool parse_utc(std::string_view text, std::int64_t& seconds) {
    // The exact form: four digits, "-", two, "-", two, "T", two, ":", two, ":", two, "Z".
    constexpr std::string_view FORM = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != FORM.size())
        return false;
    for (std::size_t i = 0; i < FORM.size(); ++i)
        if (FORM[i] == 'd' ? text[i] < '0' || text[i] > '9' : text[i] != FORM[i])
            return false;
    const auto number = [&](std::size_t at, std::size_t digits) {
        int value = 0;
        for (std::size_t i = at; i < at + digits; ++i)
            value = value * 10 + (text[i] - '0');
        return value;
    };
    std::tm parts{};
    parts.tm_year = number(0, 4) - 1900;
    parts.tm_mon = number(5, 2) - 1;
    parts.tm_mday = number(8, 2);
    parts.tm_hour = number(11, 2);
    parts.tm_min = number(14, 2);
    parts.tm_sec = number(17, 2);
    const std::tm given = parts;
    const std::time_t time = timegm(&parts);
    // A date that timegm had to move (February 30) is no date.
    if (parts.tm_mday != given.tm_mday || parts.tm_mon != given.tm_mon ||
        parts.tm_hour != given.tm_hour || parts.tm_min != given.tm_min ||
        parts.tm_sec != given.tm_sec)
        return false;
    seconds = time;
    return true;
}
