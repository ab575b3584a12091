// The manifest of an update tree: what its publisher lists and signs. Text,
// the first line naming the format, then "# serial: N" (required), an
// optional "# expires: YYYY-MM-DDTHH:MM:SSZ", an optional "# name: NAME"
// (the tree's release line; hosts that know no names read it as a comment)
// and other "#" comments, and one line a file exactly as sha256sum prints it
// for the file's bytes as they lie in the tree, so that sha256sum -c checks
// a tree by hand.
#pragma once

#include "digest.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view MANIFEST_NAME = ".vora-manifest";
inline constexpr std::string_view SIGNATURE_NAME = ".vora-manifest.minisig";
inline constexpr std::string_view MANIFEST_FORMAT = "# vora-dict-update manifest 1";

struct ManifestEntry {
    std::string_view path; // within the manifest's own text
    Sha256 digest;
};

// A manifest as parsed: its entries point into its text, which it keeps
// (no copy of each path), so that a manifest of many files costs little
// more than its text. It moves, and is never copied.
struct Manifest {
    Manifest() = default;
    Manifest(Manifest&&) = default;
    Manifest& operator=(Manifest&&) = default;
    Manifest(const Manifest&) = delete;
    Manifest& operator=(const Manifest&) = delete;
    ~Manifest() = default;

    std::uint64_t serial = 0;
    std::optional<std::int64_t> expires; // seconds since the epoch, UTC
    std::string name;                    // the release line; "" for none
    std::vector<ManifestEntry> entries;  // sorted by path

    // The digest listed for path, or nullptr.
    [[nodiscard]] const Sha256* digest_of(std::string_view path) const;

    // Where the entries' paths lie: the text, and the names that had escapes.
    std::unique_ptr<const std::string> text;
    std::deque<std::string> unescaped;
};

struct ParsedManifest {
    std::optional<Manifest> manifest;
    std::string error; // with no manifest: "line 4: a path listed twice"
};

// A manifest is bad for a missing or wrong first line, a missing or bad
// serial, a bad expiry or name, a line that is neither a comment nor a file
// line, a bad digest, an unsafe path, or a path listed twice. The manifest
// keeps the text it is given.
ParsedManifest parse_manifest(std::string owned);

// Whether path, relative to a tree's top, stays below it and names one
// entry: not absolute, no empty, "." or ".." component.
bool is_safe_path(std::string_view path);

// Whether text may name a release line: letters, digits, ".", "-" and "_",
// at most 64 of them.
bool is_release_name(std::string_view text);

// The lines that a publisher's manifest starts with.
struct ManifestHead {
    std::uint64_t serial = 0;
    std::optional<std::int64_t> expires;
    std::string name;
};
std::string manifest_header(const ManifestHead& head);

// A file's line, as sha256sum prints it: a name holding a backslash, a line
// feed or a carriage return has them escaped and the line starts with a
// backslash.
std::string manifest_line(const Sha256& digest, std::string_view path);

// Seconds since the epoch as YYYY-MM-DDTHH:MM:SSZ, and back; false for
// anything but that exact form.
std::string utc_text(std::int64_t seconds);
bool parse_utc(std::string_view text, std::int64_t& seconds);
