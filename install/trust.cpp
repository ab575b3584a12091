#include "trust.h"

#include "fd.h"
#include "io.h"
#include "resolve.h"

#include <array>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <unistd.h>

namespace {

// Larger files are no manifest, signature or key of ours.
constexpr std::size_t MOST_BYTES = MOST_MANIFEST_BYTES;

Refusal refusal(Distrust why, std::string message, const std::string& key_id = "") {
    return {why, std::move(message), key_id};
}

// Reads the regular file open as fd whole, up to most bytes.
bool read_whole(int fd, std::string& text, std::size_t most = MOST_BYTES) {
    struct stat status {};
    if (status_of(fd, status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::size_t>(status.st_size) > most)
        return false;
    text.resize(static_cast<std::size_t>(status.st_size));
    const IoResult got =
        pread_full(fd, {reinterpret_cast<unsigned char*>(text.data()), text.size()}, 0);
    text.resize(got.count);
    return got.error == 0;
}

// Why a file or directory of trust, open as fd, could be changed by
// another than root, or nothing.
std::string open_to_others(int fd) {
    struct stat status {};
    if (status_of(fd, status) != 0)
        return "cannot be examined";
    if (status.st_uid != 0)
        return "not root's";
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "writable by others than root";
    return "";
}

// Reads a key file open as fd into keys.
Refusal take_key(int fd, const std::string& name, std::vector<PublicKey>& keys) {
    if (const std::string why = open_to_others(fd); !why.empty())
        return refusal(Distrust::bad_keys, name + ": " + why);
    std::string text;
    const std::optional<PublicKey> key =
        read_whole(fd, text) ? parse_public_key(text) : std::nullopt;
    if (!key)
        return refusal(Distrust::bad_keys, name + ": not a minisign public key");
    keys.push_back(*key);
    return {};
}

// Opens a file or directory of trust at path below dir, never through a
// link at its end, nor waiting on a FIFO.
Resolved open_trusted(int dir, const char* path, int flags) {
    return resolve({dir, path, Walk::system, flags | O_NOFOLLOW | O_NONBLOCK});
}

Refusal load_directory(std::vector<PublicKey>& keys) {
    // The directory above holds it: whoever could write there could swap it.
    const std::string parent = TRUST_DIRECTORY;
    UniqueFd above = open_trusted(AT_FDCWD, TRUST_DIRECTORY, O_RDONLY | O_DIRECTORY).take();
    Resolved listed = open_trusted(AT_FDCWD, TRUSTED_KEYS_DIRECTORY, O_RDONLY | O_DIRECTORY);
    if (listed.error() == ENOENT)
        return {}; // no key is trusted
    if (!listed.ok())
        return refusal(Distrust::bad_keys,
                       std::string(TRUSTED_KEYS_DIRECTORY) + ": " + std::strerror(listed.error()));
    UniqueFd dir = listed.take();
    for (const auto& [fd, name] : {std::pair{above.get(), parent},
                                   std::pair{dir.get(), std::string(TRUSTED_KEYS_DIRECTORY)}})
        if (const std::string why = fd >= 0 ? open_to_others(fd) : ""; !why.empty())
            return refusal(Distrust::bad_keys, std::string(name).append(": ").append(why));
    DIR* listing = fdopendir(dir.release());
    if (listing == nullptr)
        return refusal(Distrust::bad_keys, std::string(TRUSTED_KEYS_DIRECTORY) + ": unreadable");
    std::vector<std::string> names;
    while (const dirent* entry = readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (!name.starts_with('.') && name.ends_with(".pub"))
            names.emplace_back(name);
    }
    Refusal refused;
    for (const std::string& name : names) {
        Resolved key = open_trusted(dirfd(listing), name.c_str(), O_RDONLY);
        refused = key.ok() ? take_key(key.reached().fd.get(),
                                      std::string(TRUSTED_KEYS_DIRECTORY) + "/" + name, keys)
                           : refusal(Distrust::bad_keys, name + ": " + std::strerror(key.error()));
        if (refused.refused())
            break;
    }
    closedir(listing);
    return refused;
}

} // namespace

std::string_view distrust_code(Distrust distrust) {
    constexpr std::string_view CODES[] = {"",
                                          "bad_keys",
                                          "unsigned",
                                          "unknown_key",
                                          "bad_signature",
                                          "legacy_signature",
                                          "bad_manifest",
                                          "expired",
                                          "rollback",
                                          "bad_serials",
                                          "wrong_name"};
    return CODES[static_cast<int>(distrust)];
}

std::optional<PublicKey> read_public_key(const std::string& path) {
    Resolved key = open_trusted(AT_FDCWD, path.c_str(), O_RDONLY);
    std::string text;
    if (!key.ok() || !read_whole(key.reached().fd.get(), text))
        return std::nullopt;
    return parse_public_key(text);
}

TrustedKeys load_trusted_keys(std::span<const std::string> named) {
    TrustedKeys trusted;
    trusted.refusal = load_directory(trusted.keys);
    for (const std::string& name : named) {
        if (trusted.refusal.refused())
            break;
        Resolved key = open_trusted(AT_FDCWD, name.c_str(), O_RDONLY);
        trusted.refusal =
            key.ok() ? take_key(key.reached().fd.get(), name, trusted.keys)
                     : refusal(Distrust::bad_keys, name + ": " + std::strerror(key.error()));
    }
    return trusted;
}

TopFile read_top_file(int top, std::string_view name, std::size_t most) {
    const std::string path(name);
    const PathWalk place{top, path, Walk::beneath | Walk::no_links, O_PATH};
    Resolved found = resolve(place);
    TopFile file;
    file.present = found.ok() || found.error() != ENOENT;
    if (!found.ok())
        return file;
    const UniqueFd located = found.take();
    const Opened opened = open_regular(located.get(), {top, path, place.rules, O_RDONLY});
    std::string text;
    if (opened.fd.valid() && read_whole(opened.fd.get(), text, most))
        file.text = std::move(text);
    return file;
}

TreeManifest read_tree_manifest(int top, const TrustedKeys& keys, const TrustRules& rules) {
    ManifestTexts texts;
    TopFile manifest = read_top_file(top, MANIFEST_NAME, MOST_MANIFEST_BYTES);
    texts.present = manifest.present;
    texts.manifest = std::move(manifest.text);
    // The signature counts only where a key is trusted.
    if (texts.present && !keys.keys.empty()) {
        TopFile signature = read_top_file(top, SIGNATURE_NAME, MOST_SIGNATURE_BYTES);
        texts.signature_present = signature.present;
        texts.signature = std::move(signature.text);
    }
    return judge_manifest(std::move(texts), keys, rules);
}

namespace {

const std::string MANIFEST(MANIFEST_NAME);
const std::string SIGNATURE(SIGNATURE_NAME);

// The trusted key whose signature the texts carry, once it verifies over
// the manifest's text as read; or why there is none.
struct Signer {
    KeyId id{};
    std::string id_text;
    Refusal refusal;
};

const PublicKey* trusted_key(const TrustedKeys& keys, const KeyId& id) {
    for (const PublicKey& trusted : keys.keys)
        if (trusted.id == id)
            return &trusted;
    return nullptr;
}

Signer signer_of(const ManifestTexts& texts, const TrustedKeys& keys) {
    Signer signer;
    if (!texts.signature_present) {
        signer.refusal =
            refusal(Distrust::unsigned_tree, SIGNATURE + ": missing, and keys are trusted");
        return signer;
    }
    if (!texts.signature) {
        signer.refusal = refusal(Distrust::bad_signature,
                                 SIGNATURE + ": unreadable, or larger than a signature is");
        return signer;
    }
    const std::optional<Signature> signature = parse_signature(*texts.signature);
    if (!signature) {
        signer.refusal = refusal(Distrust::bad_signature, SIGNATURE + ": not a minisign signature");
        return signer;
    }
    signer.id = signature->key_id;
    signer.id_text = key_id_text(signature->key_id);
    const std::string& id = signer.id_text;
    const PublicKey* key = trusted_key(keys, signature->key_id);
    if (key == nullptr)
        signer.refusal =
            refusal(Distrust::unknown_key,
                    SIGNATURE + ": signed by key " + id + ", which is not trusted", id);
    else if (signature->form == SignatureForm::legacy)
        signer.refusal = refusal(Distrust::legacy_signature,
                                 SIGNATURE + ": a legacy signature by key " + id +
                                     " (sign with minisign -S, prehashed)",
                                 id);
    if (signer.refusal.refused())
        return signer;
    const std::string_view text = texts.manifest ? std::string_view(*texts.manifest) : "";
    const Verdict verdict = verify(
        *key, *signature, {reinterpret_cast<const unsigned char*>(text.data()), text.size()});
    if (verdict != Verdict::good)
        signer.refusal =
            refusal(Distrust::bad_signature,
                    SIGNATURE + ": the " +
                        (verdict == Verdict::bad_signature ? "signature" : "trusted comment") +
                        " by key " + id + " does not verify",
                    id);
    return signer;
}

// The manifest's text parsed; with key_id, the key that signed it.
ParsedManifest parsed_text(ManifestTexts& texts) {
    return texts.manifest ? parse_manifest(std::move(*texts.manifest))
                          : ParsedManifest{std::nullopt, "unreadable, or larger than 32 MiB"};
}

// The serial recorded for the signed tree's key and name, when it is higher
// than the tree's and the record can be trusted.
std::optional<std::uint64_t> higher_serial_recorded(const TreeManifest& tree) {
    const SerialRecord record = read_serials();
    const auto recorded = record.serials.find(release_line(tree));
    if (recorded == record.serials.end() || recorded->second <= tree.manifest.serial)
        return std::nullopt;
    return recorded->second;
}

} // namespace

TreeManifest judge_manifest(ManifestTexts texts, const TrustedKeys& keys, const TrustRules& rules) {
    TreeManifest tree;
    tree.present = texts.present;
    if (!tree.present) {
        if (!keys.keys.empty())
            tree.refusal =
                refusal(Distrust::unsigned_tree, MANIFEST + ": missing, and keys are trusted");
        else if (rules.name)
            tree.refusal =
                refusal(Distrust::wrong_name, MANIFEST + ": missing, and only the release " +
                                                  *rules.name + " is accepted");
        return tree;
    }
    // With a key trusted, nothing of the manifest is parsed before its
    // signature verifies.
    const Signer signer = keys.keys.empty() ? Signer{} : signer_of(texts, keys);
    if (signer.refusal.refused()) {
        tree.refusal = signer.refusal;
        return tree;
    }
    // The signature, a few hundred bytes, is needed no longer.
    texts.signature.reset();
    ParsedManifest parsed = parsed_text(texts);
    const std::string by = signer.id_text.empty() ? "" : " (key " + signer.id_text + ")";
    if (!parsed.manifest) {
        tree.refusal =
            refusal(Distrust::bad_manifest, MANIFEST + ": " + parsed.error + by, signer.id_text);
        return tree;
    }
    tree.manifest = std::move(*parsed.manifest);
    if (rules.name && tree.manifest.name != *rules.name) {
        tree.refusal =
            refusal(Distrust::wrong_name,
                    MANIFEST + ": the release " +
                        (tree.manifest.name.empty() ? "has no name" : "is " + tree.manifest.name) +
                        ", not " + *rules.name + by,
                    signer.id_text);
        return tree;
    }
    if (keys.keys.empty())
        return tree;
    tree.signed_by_key = true;
    tree.key_id = signer.id;
    const bool expired = tree.manifest.expires && *tree.manifest.expires <= rules.now;
    if (rules.freshness == Freshness::reported) {
        tree.expired = expired;
        tree.recorded_serial = higher_serial_recorded(tree);
        return tree;
    }
    if (expired && !rules.allow_expired) {
        tree.refusal = refusal(Distrust::expired,
                               MANIFEST + ": expired at " + utc_text(*tree.manifest.expires) + by,
                               signer.id_text);
        return tree;
    }
    tree.refusal = check_rollback(tree, rules);
    return tree;
}

ReleaseLine release_line(const TreeManifest& tree) {
    return {tree.key_id, tree.manifest.name};
}

namespace {

// The release line as a message names it.
std::string line_text(const ReleaseLine& line) {
    return "key " + key_id_text(line.first) +
           (line.second.empty() ? "" : ", release " + line.second);
}

} // namespace

Refusal check_rollback(const TreeManifest& tree, const TrustRules& rules) {
    if (!tree.signed_by_key)
        return {};
    const std::string key_id = key_id_text(tree.key_id);
    const SerialRecord record = read_serials();
    if (!record.trusted())
        return refusal(Distrust::bad_serials, record.error, key_id);
    if (rules.allow_rollback)
        return {};
    const ReleaseLine line = release_line(tree);
    const auto recorded = record.serials.find(line);
    if (recorded == record.serials.end() || tree.manifest.serial >= recorded->second)
        return {};
    return refusal(Distrust::rollback,
                   std::string(MANIFEST_NAME) + ": serial " + std::to_string(tree.manifest.serial) +
                       " is lower than " + std::to_string(recorded->second) + ", recorded for " +
                       line_text(line),
                   key_id);
}
