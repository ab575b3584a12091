// The install of a publisher's archive: its members in the archive's order,
// each installed as the same file of the unpacked tree would be, in
// batches whose members' bytes are all held in the run's own memory before
// the batch's first write. A member too large for a batch streams through
// the install alone, a batch of one.
#pragma once

#include "archive_reader.h"
#include "batch.h"
#include "progress.h"
#include "trust.h"

#include <functional>
#include <optional>
#include <span>
#include <string>

// Reads the manifest and its signature where they must be: the archive's
// first two members. first is the first member's header, and gets the
// first member that is neither (to be installed), if any; damaged is set,
// with the reader's error, where the archive breaks in them.
ManifestTexts read_manifest_members(ArchiveReader& archive, std::optional<Member>& first,
                                    bool& damaged);

// The members' bytes held at most, a batch's: a larger member streams.
inline constexpr off_t SPOOL_BYTES = off_t{64} << 20;

struct ArchiveRunSettings {
    std::span<const std::string> excluded;
    const Manifest* manifest = nullptr; // governs the members, when given
    std::size_t batch_files = 1;        // most members a batch
    std::string archive_name;           // for damage that no member's name can tell
};

// Told of results, in order, once they are final: a batch's, with its
// members' paths, or one of its own (damage, a listed file missing).
struct MemberResult {
    std::string path;
    InstallResult result;
};
using ReportMembers = std::function<void(std::span<const MemberResult>)>;

struct ArchiveTotals {
    std::size_t files = 0;    // results reported
    std::size_t excluded = 0; // entries left out
};

// Installs the members from next on (nullopt: from the archive's next
// header) in world, then fails each file that the manifest lists and the
// archive lacks. Damage ends the run with one failed result for it.
struct ArchiveSource {
    ArchiveReader& archive;
    std::optional<Member> next;
};
ArchiveTotals install_archive(ArchiveSource source, World& world,
                              const ArchiveRunSettings& settings, Progress& progress,
                              const ReportMembers& report);
