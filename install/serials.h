// The serials record: for each publisher's key and release line (a
// manifest's name, or none), the highest serial installed, so that an older
// signed tree of that line cannot roll the host back. A record that cannot
// be trusted fails closed: no signed run goes on until root repairs it.
//
// The record, /var/lib/vora-dict-update/serials, is text: one line
//   KEY-ID SERIAL [NAME]
// a key and line, KEY-ID in minisign's 16 hexadecimal digits, SERIAL in
// decimal, NAME the manifest's release name (none for an unnamed tree);
// lines starting with "#" are comments. It must be a regular file of
// root's that group and others cannot write, in a directory (and below one)
// that they cannot write either.
#pragma once

#include "minisign.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

inline constexpr char SERIALS_DIRECTORY[] = "/var/lib/vora-dict-update";
inline constexpr char SERIALS_PATH[] = "/var/lib/vora-dict-update/serials";

// A release line: the key that signs it and the name it carries ("" for none).
using ReleaseLine = std::pair<KeyId, std::string>;

struct SerialRecord {
    std::map<ReleaseLine, std::uint64_t> serials;
    std::string error; // why the record cannot be trusted: then it holds nothing
    [[nodiscard]] bool trusted() const { return error.empty(); }
};

// Reads the record: no record is an empty one (a first run).
SerialRecord read_serials();

// Raises the serial recorded for line to serial, never lowering it,
// crash-safely: a new file written and flushed, renamed into place, its
// directory flushed. A record that cannot be trusted is never rewritten.
// The error, or "".
std::string record_serial(const ReleaseLine& line, std::uint64_t serial);

// The record's text, a line a key and line in order.
std::string serials_text(const std::map<ReleaseLine, std::uint64_t>& serials);
