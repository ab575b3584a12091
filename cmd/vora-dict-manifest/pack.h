// The publisher's archive of an update tree: the manifest and its signature
// first, when they are there, then the files that the manifest lists, in its
// order, each checked against its digest as it is packed; without a
// manifest, the files that vora-dict-update-tree would install from the tree.
#pragma once

#include <span>
#include <string>

// Compressions that the archive's name asks for by its suffix.
enum class Compression { none, gzip, xz, zstd, unknown };
Compression compression_of(std::string_view archive_name);

// Writes the archive at archive_name from the tree open as top (named
// directory, for messages), leaving out what excluded does where there is no
// manifest. Prints what went wrong on standard error; the exit status.
int pack_archive(const std::string& archive_name, int top, const std::string& directory,
                 std::span<const std::string> excluded);
