// What an install does with each member of an archive, decided from its
// header before any of its bytes are read: the rules of the walk of a tree,
// for names that someone else wrote.
#pragma once

#include "archive_reader.h"
#include "failure.h"
#include "manifest.h"

#include <array>
#include <span>
#include <string>
#include <unordered_set>

enum class MemberVerdict {
    install, // a regular file, at path
    skip,    // a directory (which only implies its levels), or a name below one starting with "."
    exclude, // left out by --exclude, and counted
    fail,    // never written: problem
};

struct MemberPlan {
    MemberVerdict verdict;
    std::string path; // without a leading "./"
    Problem problem = Problem::none;
    const Sha256* digest = nullptr; // what the manifest lists for it
};

// A member's name without the leading "./" that many archivers write.
std::string without_dot_slash(std::string path);

class MemberRules {
  public:
    // manifest, when given, governs the members; both outlive this.
    MemberRules(std::span<const std::string> excluded, const Manifest* manifest)
        : excluded_(excluded), manifest_(manifest) {}

    // A leading "./" is dropped. An absolute name, an empty, "." or ".."
    // component, or one too long for the destination fails; a component
    // starting with "." is skipped with all below it; a link, hard link,
    // device, FIFO or socket fails, and so does a second member of a name
    // seen; with a manifest, an unlisted regular one.
    MemberPlan classify(const Member& member);

    // The entries left out, each once (a directory too).
    [[nodiscard]] std::size_t excluded() const { return counted_.size(); }

    // Whether a member of some kind but a directory had path.
    [[nodiscard]] bool seen(const std::string& path) const;

    // A name kept by its digest's first half: a run over many members with
    // long names holds 16 bytes a name.
    using NameKey = std::array<unsigned char, 16>;
    struct NameKeyHash {
        std::size_t operator()(const NameKey& key) const;
    };

  private:
    std::span<const std::string> excluded_;
    const Manifest* manifest_;
    std::unordered_set<NameKey, NameKeyHash> seen_;
    std::unordered_set<NameKey, NameKeyHash> counted_; // excluded entries
};
