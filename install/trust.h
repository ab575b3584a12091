// Whom the install trusts: the publishers' keys that root put in place,
// the signed manifest that says which bytes each file of a tree must hold,
// and the serials that stop an older signed tree from rolling a host back.
#pragma once

#include "manifest.h"
#include "minisign.h"
#include "serials.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr char TRUST_DIRECTORY[] = "/etc/vora-dict-update";
inline constexpr char TRUSTED_KEYS_DIRECTORY[] = "/etc/vora-dict-update/trusted-keys";

// Why a tree is not trusted.
enum class Distrust {
    none,
    bad_keys,         // a trusted key's file or directory that others could change, or no key
    unsigned_tree,    // keys are trusted and the tree has no manifest or no signature
    unknown_key,      // signed by a key that is not trusted
    bad_signature,    // the signature or its trusted comment does not verify
    legacy_signature, // the legacy form, over the whole file
    bad_manifest,     // the manifest cannot be read as one
    expired,          // the manifest is past its expiry
    rollback,         // its serial is lower than the one recorded for its key and name
    bad_serials,      // the record of serials cannot be trusted: no signed run goes on
    wrong_name,       // the manifest names another release line than the run asked for
};

// The word that programs act on: "unsigned", "unknown_key", ...
std::string_view distrust_code(Distrust distrust);

struct Refusal {
    Distrust why = Distrust::none;
    std::string message; // one line: what is wrong, and the key ID
    std::string key_id;  // when one is known

    [[nodiscard]] bool refused() const { return why != Distrust::none; }
};

struct TrustedKeys {
    std::vector<PublicKey> keys;
    Refusal refusal;
};

// The keys in TRUSTED_KEYS_DIRECTORY ("*.pub") and the key files named:
// each, and the directory, must be root's and not writable by group or
// others, or the run is refused. No directory is no key.
TrustedKeys load_trusted_keys(std::span<const std::string> named);

// Whether a manifest's expiry and serial refuse a run (an install), or are
// only reported (a verification against an older or expired release).
enum class Freshness { enforced, reported };

struct TrustRules {
    Freshness freshness = Freshness::enforced;
    bool allow_rollback = false;
    bool allow_expired = false;
    std::int64_t now = 0;            // seconds since the epoch
    std::optional<std::string> name; // the release line that the run accepts alone
};

// The minisign public key in the file at path; nullopt when it cannot be
// read as one.
std::optional<PublicKey> read_public_key(const std::string& path);

// A tree's manifest as the run takes it.
struct TreeManifest {
    bool present = false; // the tree has one, which governs its files
    bool signed_by_key = false;
    KeyId key_id{};
    Manifest manifest;
    Refusal refusal;
    // Where freshness is only reported: the manifest is past its expiry, or
    // a higher serial is recorded for its key and name.
    bool expired = false;
    std::optional<std::uint64_t> recorded_serial;
};

// The manifest and its signature as a tree or an archive holds them: each
// there or not, and its text, unless it could not be read.
struct ManifestTexts {
    bool present = false;
    std::optional<std::string> manifest;
    bool signature_present = false;
    std::optional<std::string> signature;
};

// Judges a manifest and its signature: with a key trusted, the signature
// must be there and verify by a trusted key, the manifest must not be
// expired and its serial not lower than the one recorded for the key (as
// rules allow). With none, a manifest that is there governs the files all
// the same, unsigned.
TreeManifest judge_manifest(ManifestTexts texts, const TrustedKeys& keys, const TrustRules& rules);

// The largest manifest that is one (some 120,000 files with names of 200
// bytes), and the largest signature (minisign's, with the longest trusted
// comment that it writes): larger ones are refused unread.
inline constexpr std::size_t MOST_MANIFEST_BYTES = std::size_t{32} << 20;
inline constexpr std::size_t MOST_SIGNATURE_BYTES = std::size_t{16} << 10;

// A file at the top of the tree open as top, reached without following a
// link: whether it is there, and its text unless it could not be read as a
// regular file of at most most bytes.
struct TopFile {
    bool present = false;
    std::optional<std::string> text;
};
TopFile read_top_file(int top, std::string_view name, std::size_t most);

// Reads the manifest and its signature at the top of the directory open as
// top (reached without following a link), and judges them.
TreeManifest read_tree_manifest(int top, const TrustedKeys& keys, const TrustRules& rules);

// The release line of a manifest signed by a trusted key.
ReleaseLine release_line(const TreeManifest& tree);

// With a manifest signed by a trusted key: whether the record of serials
// can be trusted, and unless rules allow a rollback, whether the manifest's
// serial is not lower than the one recorded for its key and name. Asked
// again once the lock is held (another run may have recorded a serial
// while this one waited).
Refusal check_rollback(const TreeManifest& tree, const TrustRules& rules);
