// The publisher's archive of an update tree: the manifest and its signature
// first, when they are there, then the files that the manifest lists, in its
// order, each checked against its digest as it is packed; without a
// manifest, the files that vora-dict-update-tree would install from the tree.
// Names are written as their bytes, whatever the locale: pax, with a binary
// header charset where a name is not UTF-8.
#pragma once

#include "codec.h"

#include <optional>
#include <span>
#include <string>

// The compression that the archive's name asks for by its suffix:
// .tar, .tar.gz, .tar.xz or .tar.zst; nullopt for any other.
std::optional<Compression> compression_of(std::string_view archive_name);

struct PackRequest {
    std::string archive_name;
    int top;               // the tree, open
    std::string directory; // as named, for messages
    std::span<const std::string> excluded;
    std::optional<std::string> key; // a public key file: the signature must verify by it
};

// Writes the archive. Prints what went wrong on standard error; the exit
// status (2: the signature does not verify by the key).
int pack_archive(const PackRequest& request);
