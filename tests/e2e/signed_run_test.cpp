// Signed update trees: manifests made by vora-dict-manifest, signed with
// Debian's minisign, keys and serials put in place inside the test's
// namespace. Only what a trusted publisher signed installs; an older signed
// tree cannot roll a host back.
#include "expected_messages.h"
#include "publisher.h"
#include "run_checks.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace testing_support;

namespace {

const std::string PLAIN = dictionary("VERSION 2", "signed entries\n");

// Replaces every "KEY" in text by id.
std::string with_key(std::string text, const std::string& id) {
    for (std::size_t at = 0; (at = text.find("KEY", at)) != std::string::npos;)
        text.replace(at, 3, id);
    return text;
}

enum class Tamper {
    none,
    untrusted_comment, // edited: still valid
    trusted_comment,
    legacy,      // signed in the whole-file form
    truncated,   // the signature's base64 cut
    unknown_key, // signed by another, not trusted
    wrong_key,   // a trusted key of that ID, another key's bytes
    open_keys,   // the trusted keys' directory writable by others
    group_key,   // a trusted key writable by its group
    no_signature,
    no_manifest,
    open_trust, // /etc/vora-dict-update itself writable by others
    oversized,  // a manifest and a signature of 64 MiB each, the archive's first members
};

struct SignatureCase {
    const char* name;
    Tamper tamper;
    std::vector<std::string> args;
    std::string out; // KEY stands for the signer's key ID
    std::string err;
    int status;
    bool archive = false; // packed by tar, the pair first, and installed from the archive
    friend void PrintTo(const SignatureCase& c, std::ostream* os) { *os << c.name; }
};

// args, and the tree packed by tar (its top's entries in byte order) when archive is set.
std::vector<std::string> packed(const Sandbox& box, std::vector<std::string> args, bool archive) {
    if (archive) {
        EXPECT_EQ(
            shell("cd " + box.updates() + " && tar --sort=name -cf ../a.tar $(LC_ALL=C ls -A)"), 0);
        args.emplace_back("../a.tar");
    }
    return args;
}

class SignedTree : public ::testing::TestWithParam<SignatureCase> {};

TEST_P(SignedTree, InstallsOnlyWhatATrustedKeySigned) {
    const SignatureCase& c = GetParam();
    Sandbox box;
    box.put_update("base/words.ejd", reference_encode(PLAIN));
    const Publisher publisher(box.scratch(), "publisher");
    const Publisher other(box.scratch(), "other");
    ASSERT_EQ(manifest_of(box, "--serial=7"), 0);
    const std::string signature = box.update_path(".vora-manifest.minisig");
    (c.tamper == Tamper::unknown_key ? other : publisher)
        .sign(box.updates(), c.tamper == Tamper::legacy ? "-l" : "-t 'release 7'");
    publisher.trust();
    std::string text = read_file(signature);
    if (c.tamper == Tamper::untrusted_comment)
        text.replace(0, text.find('\n'), "untrusted comment: edited by a mirror");
    if (c.tamper == Tamper::trusted_comment)
        text.replace(text.find("release 7"), 9, "release 9");
    if (c.tamper == Tamper::truncated)
        text.erase(text.find('\n') + 20, 10);
    write_file(signature, text);
    if (c.tamper == Tamper::wrong_key) {
        const std::string mine = read_file(publisher.public_key);
        const std::string theirs = read_file(other.public_key);
        const std::size_t line = mine.find('\n') + 1;
        // The ID (bytes 2 to 9, the base64 up to 14) stays; the key's bytes are the other's.
        write_file(std::string(TRUSTED_KEYS) + "/publisher.pub",
                   mine.substr(0, line + 14) + theirs.substr(theirs.find('\n') + 1 + 14));
    }
    const bool done = (c.tamper != Tamper::open_keys || chmod(TRUSTED_KEYS, 0777) == 0) &&
                      (c.tamper != Tamper::group_key ||
                       chmod((std::string(TRUSTED_KEYS) + "/publisher.pub").c_str(), 0664) == 0) &&
                      (c.tamper != Tamper::no_signature || unlink(signature.c_str()) == 0) &&
                      (c.tamper != Tamper::no_manifest ||
                       unlink(box.update_path(".vora-manifest").c_str()) == 0) &&
                      (c.tamper != Tamper::open_trust || chmod("/etc/vora-dict-update", 0777) == 0);
    ASSERT_TRUE(done);
    if (c.tamper == Tamper::oversized) {
        // 900,000 lines of manifest, then a signature as long: neither is read.
        ASSERT_EQ(shell("python3 -c \"import sys; line = '0' * 64 + '  ' + 'x' * 5 + '\\n'; "
                        "open(sys.argv[1], 'a').write(line * 900000)\" " +
                        box.update_path(".vora-manifest")),
                  0);
        write_file(signature, std::string(std::size_t{64} << 20, 'A'));
    }
    const std::string id = (c.tamper == Tamper::unknown_key ? other : publisher).id;
    const RunResult result =
        box.run_program(VDU_TREE, naming_the_tree(packed(box, c.args, c.archive)));
    EXPECT_EQ(result.out, with_key(c.out, id));
    EXPECT_EQ(result.err, with_key(c.err, id));
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(exists(Sandbox::installed_path("base/words.ejd")), c.status == 0);
    EXPECT_EQ(exists(RUN_LOCK), c.status == 0) << "a refused run locks nothing";
#ifndef VDU_SANITIZED // whose runtime takes memory of its own
    EXPECT_LT(result.peak_memory, 100 << 10) << "KiB";
#endif
}

const std::string SIGNED_LINES = "added base/words.ejd (2)\n1 file: 1 added, 0 updated, 0 current, "
                                 "0 failed, signed by key KEY, serial 7\n";
// The way out that a refusal names.
const std::string TRUST_IT =
    "; trust its publisher's public key in /etc/vora-dict-update/trusted-keys/"
    "NAME.pub (root's, not writable by others), or name it with --key=FILE";
const std::string SIGN_IT = "; with keys trusted a tree needs .vora-manifest and its signature "
                            ".vora-manifest.minisig at its top (vora-dict-manifest DIR, then "
                            "minisign -Sm DIR/.vora-manifest)";
const std::string ALLOW_ROLLBACK =
    "; --allow-rollback installs it, and the higher serial stays recorded";
const std::string REPAIR =
    "; repair or remove /var/lib/vora-dict-update/serials as root (see SERIALS "
    "in vora-dict-update-tree(8))";

const std::string REFUSED = "vora-dict-update-tree: ";

SignatureCase refusal(const char* name, Tamper tamper, const std::string& why) {
    return {name, tamper, {}, "", REFUSED + why + "\n", 2};
}

INSTANTIATE_TEST_SUITE_P(
    Signed, SignedTree,
    ::testing::Values(
        SignatureCase{"Installs", Tamper::none, {}, SIGNED_LINES, "", 0},
        SignatureCase{
            "UntrustedCommentChanged", Tamper::untrusted_comment, {}, SIGNED_LINES, "", 0},
        refusal("TrustedCommentChanged", Tamper::trusted_comment,
                ".vora-manifest.minisig: the trusted comment by key KEY does not verify"),
        refusal("LegacySignature", Tamper::legacy,
                ".vora-manifest.minisig: a legacy signature by key KEY (sign with minisign -S, "
                "prehashed)"),
        refusal("TruncatedBase64", Tamper::truncated,
                ".vora-manifest.minisig: not a minisign signature"),
        refusal("UnknownKey", Tamper::unknown_key,
                ".vora-manifest.minisig: signed by key KEY, which is not trusted" + TRUST_IT),
        refusal("WrongKey", Tamper::wrong_key,
                ".vora-manifest.minisig: the signature by key KEY does not verify"),
        refusal("KeyDirectoryWritableByOthers", Tamper::open_keys,
                "/etc/vora-dict-update/trusted-keys: writable by others than root"),
        refusal("KeyWritableByItsGroup", Tamper::group_key,
                "/etc/vora-dict-update/trusted-keys/publisher.pub: writable by others than root"),
        refusal("NoSignature", Tamper::no_signature,
                ".vora-manifest.minisig: missing, and keys are trusted" + SIGN_IT),
        refusal("NoManifest", Tamper::no_manifest,
                ".vora-manifest: missing, and keys are trusted" + SIGN_IT),
        SignatureCase{
            "RefusedWithJson",
            Tamper::unknown_key,
            {"--json"},
            R"({"type":"error","error":".vora-manifest.minisig: signed by key KEY, which )"
            R"(is not trusted)" +
                TRUST_IT + R"(","error_code":"unknown_key","key_id":"KEY"})" + "\n",
            REFUSED + ".vora-manifest.minisig: signed by key KEY, which is not trusted" + TRUST_IT +
                "\n",
            2},
        SignatureCase{"Archive", Tamper::none, {}, SIGNED_LINES, "", 0, true},
        SignatureCase{"ArchiveUnknownKey",
                      Tamper::unknown_key,
                      {},
                      "",
                      REFUSED + ".vora-manifest.minisig: signed by key KEY, which is not trusted" +
                          TRUST_IT + "\n",
                      2,
                      true},
        SignatureCase{"ArchiveWithoutSignature",
                      Tamper::no_signature,
                      {},
                      "",
                      REFUSED +
                          ".vora-manifest.minisig: not the archive's second member, and "
                          "keys are trusted" +
                          SIGN_IT + "\n",
                      2,
                      true},
        refusal("TrustDirectoryOpen", Tamper::open_trust,
                "/etc/vora-dict-update: writable by others than root"),
        // Read no further than their headers: the run stays small.
        SignatureCase{"ArchiveWithAnOversizedPair",
                      Tamper::oversized,
                      {},
                      "",
                      REFUSED +
                          ".vora-manifest.minisig: unreadable, or larger than a signature is\n",
                      2,
                      true},
        SignatureCase{"ArchiveWithoutManifest",
                      Tamper::no_manifest,
                      {},
                      "",
                      REFUSED +
                          ".vora-manifest: not the archive's first member, and keys are "
                          "trusted" +
                          SIGN_IT + "\n",
                      2,
                      true}),
    [](const auto& info) { return std::string(info.param.name); });

using Step = void (*)(const Sandbox&);

struct ManifestCase {
    const char* name;
    Step before;          // before the manifest is made, or nullptr
    std::string manifest; // vora-dict-manifest's arguments beside --serial=7
    bool signs;           // else no key is trusted
    Step after;           // once the tree is signed, or nullptr
    std::vector<std::string> args;
    std::string out; // KEY stands for the signer's key ID
    std::string err;
    int status;
    std::string serials; // recorded afterwards
    RunOptions options = {};
    bool archive = false; // packed by tar, and installed from the archive
    friend void PrintTo(const ManifestCase& c, std::ostream* os) { *os << c.name; }
};

class SignedManifest : public ::testing::TestWithParam<ManifestCase> {};

TEST_P(SignedManifest, GovernsTheFiles) {
    const ManifestCase& c = GetParam();
    Sandbox box;
    box.put_update("base/words.ejd", reference_encode(PLAIN));
    Sandbox::put_installed("base/words.ejd", dictionary("VERSION 1"));
    if (c.before != nullptr)
        c.before(box);
    const Publisher publisher(box.scratch(), "publisher");
    ASSERT_EQ(manifest_of(box, "--serial=7 " + c.manifest), 0);
    if (c.signs) {
        publisher.sign(box.updates());
        publisher.trust();
    }
    make_parents(SERIALS);
    write_file(SERIALS, with_key(c.serials.substr(0, c.serials.find('|')), publisher.id));
    if (c.after != nullptr)
        c.after(box);
    const RunResult result =
        box.run_program(VDU_TREE, naming_the_tree(packed(box, c.args, c.archive)), c.options);
    EXPECT_EQ(result.out, with_key(c.out, publisher.id));
    EXPECT_EQ(result.err, with_key(c.err, publisher.id));
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(read_file(SERIALS),
              with_key(c.serials.substr(c.serials.find('|') + 1), publisher.id));
    // Installed whole, or the copy byte for byte as it was; a change during the
    // copy leaves the mark, for the next run.
    const std::string copy = read_file(Sandbox::installed_path("base/words.ejd"));
    const bool installed = result.out.find(" base/words.ejd (") != std::string::npos &&
                           result.out.find("(dry run)") == std::string::npos;
    if (result.out.find("changed during") == std::string::npos) {
        EXPECT_TRUE(copy == (installed ? PLAIN : dictionary("VERSION 1")));
    }
}

const std::string UPDATED = "updated base/words.ejd (1 -> 2)\n";
const std::string SIGNED = "signed by key KEY, serial 7\n";

// The English summary of files files with the counts given, signed, of the
// release line name when given.
std::string summary(int files, int updated, int current, int failed, const std::string& name = "") {
    return std::to_string(files) + (files == 1 ? " file: 0 added, " : " files: 0 added, ") +
           std::to_string(updated) + " updated, " + std::to_string(current) + " current, " +
           std::to_string(failed) + " failed, " +
           (name.empty() ? SIGNED : "signed by key KEY, release " + name + ", serial 7\n");
}

ManifestCase signed_run(const char* name, Step before, Step after, std::vector<std::string> args,
                        std::string out, int status, std::string serials) {
    return {name,
            before,
            "",
            true,
            after,
            std::move(args),
            std::move(out),
            "",
            status,
            std::move(serials)};
}

ManifestCase refused(const char* name, const std::string& manifest, std::string serials,
                     const std::string& why, Step after = nullptr) {
    return {name, nullptr,           manifest, true, after, {}, "", REFUSED + why + "\n",
            2,    std::move(serials)};
}

// A tree signed with the manifest tool's arguments, run with args.
ManifestCase named(const char* name, const std::string& manifest, std::vector<std::string> args,
                   std::string out, int status, std::string serials, const std::string& why = "") {
    return {name,    nullptr,           manifest,       true,
            nullptr, std::move(args),   std::move(out), why.empty() ? "" : REFUSED + why + "\n",
            status,  std::move(serials)};
}

void put_gone(const Sandbox& box) {
    box.put_update("base/gone.ejd", "listed, then removed\n");
}

void remove_gone(const Sandbox& box) {
    unlink(box.update_path("base/gone.ejd").c_str());
}

void change_words(const Sandbox& box) {
    box.put_update("base/words.ejd", reference_encode(dictionary("VERSION 2", "Signed entries\n")));
}

// The manifest with one more line, signed again as it stands: the signature
// is good, the manifest is not.
void sign_with_line(const Sandbox& box, const std::string& line) {
    write_file(box.update_path(".vora-manifest"),
               read_file(box.update_path(".vora-manifest")) + line);
    ASSERT_EQ(shell("minisign -S -s " + box.scratch() + "/publisher.sec -m " +
                    box.update_path(".vora-manifest") + " >/dev/null"),
              0);
}

// The manifest expired long ago, signed as it stands: the publisher's tool
// writes no expiry in the past.
void expired(const Sandbox& box) {
    std::string text = read_file(box.update_path(".vora-manifest"));
    text.insert(text.find("# serial: 7\n") + 12, "# expires: 2001-01-01T00:00:00Z\n");
    write_file(box.update_path(".vora-manifest"), text);
    ASSERT_EQ(shell("minisign -S -s " + box.scratch() + "/publisher.sec -m " +
                    box.update_path(".vora-manifest") + " >/dev/null"),
              0);
}

ManifestCase from_archive(ManifestCase c) {
    c.archive = true;
    return c;
}

INSTANTIATE_TEST_SUITE_P(
    Signed, SignedManifest,
    ::testing::Values(
        signed_run("SerialHigher", nullptr, nullptr, {}, UPDATED + summary(1, 1, 0, 0), 0,
                   "KEY 6\n|KEY 7\n"),
        signed_run(
            "SerialEqual", nullptr,
            [](const Sandbox&) { Sandbox::put_installed("base/words.ejd", PLAIN); }, {},
            "current base/words.ejd (2>=2)\n" + summary(1, 0, 1, 0), 0, "KEY 7\n|KEY 7\n"),
        refused("SerialLower", "", "KEY 8\n|KEY 8\n",
                ".vora-manifest: serial 7 is lower than 8, recorded for key KEY" + ALLOW_ROLLBACK),
        // The record never goes down: a rerun of the older tree needs the option again.
        signed_run("SerialLowerAllowed", nullptr, nullptr, {"--allow-rollback"},
                   UPDATED + summary(1, 1, 0, 0), 0, "KEY 8\n|KEY 8\n"),
        // The record of serials fails closed: one that cannot be trusted
        // refuses every signed run and is never rewritten.
        refused("SerialsRecordUnparsable", "", "KEY 6\nKEY six\n|KEY 6\nKEY six\n",
                "/var/lib/vora-dict-update/serials: line 2: neither a comment nor a key ID, a "
                "serial and a release name" +
                    REPAIR),
        refused("SerialsRecordWithAComment", "", "# kept by root\nKEY 8\n|# kept by root\nKEY 8\n",
                ".vora-manifest: serial 7 is lower than 8, recorded for key KEY" + ALLOW_ROLLBACK),
        [] {
            ManifestCase c =
                refused("SerialsRecordUnreadable", "", "KEY 6\n|KEY 6\n",
                        "/var/lib/vora-dict-update/serials: Input/output error" + REPAIR);
            c.options.faults = "openat:*/vora-dict-update/serials@1=EIO";
            return c;
        }(),
        refused("SerialsRecordIsALink", "", "KEY 6\n|KEY 6\n",
                "/var/lib/vora-dict-update/serials: a symbolic link" + REPAIR,
                [](const Sandbox& box) {
                    write_file(box.scratch() + "/serials", read_file(SERIALS));
                    ASSERT_EQ(unlink(SERIALS), 0);
                    ASSERT_EQ(symlink((box.scratch() + "/serials").c_str(), SERIALS), 0);
                }),
        refused("SerialsRecordWritableByOthers", "", "KEY 6\n|KEY 6\n",
                "/var/lib/vora-dict-update/serials: writable by others than root" + REPAIR,
                [](const Sandbox&) { ASSERT_EQ(chmod(SERIALS, 0666), 0); }),
        refused("SerialsRecordOfAnotherUser", "", "KEY 6\n|KEY 6\n",
                "/var/lib/vora-dict-update/serials: not root's" + REPAIR,
                [](const Sandbox&) { ASSERT_EQ(chown(SERIALS, 65534, 0), 0); }),
        refused("SerialsDirectoryWritableByOthers", "", "KEY 6\n|KEY 6\n",
                "/var/lib/vora-dict-update: writable by others than root" + REPAIR,
                [](const Sandbox&) { ASSERT_EQ(chmod("/var/lib/vora-dict-update", 0777), 0); }),
        // Serials are kept per key and release name: two trees under one key
        // follow their own lines, and a run may pin the line it accepts.
        named("NamedTreeBesideAnotherLine", "--name=base", {},
              UPDATED + summary(1, 1, 0, 0, "base"), 0,
              "KEY 20 addon\n|KEY 20 addon\nKEY 7 base\n"),
        named("NamedTreeBelowItsLine", "--name=base", {}, "", 2, "KEY 9 base\n|KEY 9 base\n",
              ".vora-manifest: serial 7 is lower than 9, recorded for key KEY, release base" +
                  ALLOW_ROLLBACK),
        named("PinnedLineMatches", "--name=base", {"--name=base"},
              UPDATED + summary(1, 1, 0, 0, "base"), 0, "|KEY 7 base\n"),
        named("PinnedLineDiffers", "--name=addon", {"--name=base"}, "", 2, "|",
              ".vora-manifest: the release is addon, not base (key KEY)"),
        named("PinnedLineUnnamed", "", {"--name=base"}, "", 2, "|",
              ".vora-manifest: the release has no name, not base (key KEY)"),
        refused("Expired", "", "|",
                ".vora-manifest: expired at 2001-01-01T00:00:00Z (key KEY); --allow-expired "
                "installs it all the same",
                expired),
        signed_run("ExpiredAllowed", nullptr, expired, {"--allow-expired"},
                   UPDATED + summary(1, 1, 0, 0), 0, "|KEY 7\n"),
        refused("BadLine", "", "|",
                ".vora-manifest: line 4: neither a comment nor a file's digest and path (key KEY)",
                [](const Sandbox& box) { sign_with_line(box, "garbage\n"); }),
        refused("UnsafePath", "", "|", ".vora-manifest: line 4: an unsafe path (key KEY)",
                [](const Sandbox& box) {
                    sign_with_line(box, std::string(64, '0') + "  base/../../escape.ejd\n");
                }),
        refused("PathListedTwice", "", "|",
                ".vora-manifest: a path listed twice: base/words.ejd (key KEY)",
                [](const Sandbox& box) {
                    const std::string text = read_file(box.update_path(".vora-manifest"));
                    sign_with_line(box, text.substr(text.rfind('\n', text.size() - 2) + 1));
                }),
        refused("PathListedTwiceWithTwoDigests", "", "|",
                ".vora-manifest: a path listed twice: base/words.ejd (key KEY)",
                [](const Sandbox& box) {
                    sign_with_line(box, std::string(64, 'a') + "  base/words.ejd\n");
                }),
        // Listed below a dotted directory, which the walk leaves out: not missing.
        signed_run(
            "ListedBelowADottedDirectory", nullptr,
            [](const Sandbox& box) {
                sign_with_line(box, std::string(64, '0') + "  .git/config\n");
            },
            {}, UPDATED + summary(1, 1, 0, 0), 0, "|KEY 7\n"),
        signed_run("DryRunRecordsNoSerial", nullptr, nullptr, {"--dry-run"},
                   UPDATED + "1 file: 0 added, 1 updated, 0 current, 0 failed, signed by key KEY, "
                             "serial 7 (dry run)\n",
                   0, "|"),
        // Hashed ahead under a lease, then found not to match.
        signed_run(
            "LargeFileMismatch", nullptr,
            [](const Sandbox& box) {
                box.put_update("base/words.ejd", reference_encode(dictionary(
                                                     "VERSION 2", std::string(2 << 20, 'x'))));
            },
            {},
            "failed base/words.ejd: the update does not match its manifest\n" + summary(1, 0, 0, 1),
            1, "|"),
        // No file failing, no serial recorded.
        signed_run("ListedFileMissing", put_gone, remove_gone, {},
                   "failed base/gone.ejd: listed in the manifest but missing\n" + UPDATED +
                       summary(2, 1, 0, 1),
                   1, "|"),
        signed_run(
            "ListedFileExcluded", put_gone,
            [](const Sandbox& box) { unlink(box.update_path("base/gone.ejd").c_str()); },
            {"--exclude=gone.ejd"},
            UPDATED + "1 file: 0 added, 1 updated, 0 current, 0 failed, 0 excluded, " + SIGNED, 0,
            "|KEY 7\n"),
        signed_run(
            "ExtraFile", nullptr,
            [](const Sandbox& box) { box.put_update("base/extra.ejd", "unlisted\n"); }, {},
            "failed base/extra.ejd: not in the manifest\n" + UPDATED + summary(2, 1, 0, 1), 1, "|"),
        signed_run("HashMismatch", nullptr, change_words, {},
                   "failed base/words.ejd: the update does not match its manifest\n" +
                       summary(1, 0, 0, 1),
                   1, "|"),
        [] {
            ManifestCase c =
                signed_run("RewrittenDuringTheCopy", nullptr, nullptr, {},
                           "failed base/words.ejd: the update changed during the install\n" +
                               summary(1, 0, 0, 1),
                           1, "|");
            c.options.faults = "read:*/updates/base/words.ejd@1=rewrite";
            return c;
        }(),
        // A small file changed within the clock's tick: whatever its times say,
        // the bytes copied must be the ones listed.
        [] {
            ManifestCase c =
                signed_run("AlteredWithinOneTick", nullptr, nullptr, {},
                           "failed base/words.ejd: the update changed during the install\n" +
                               summary(1, 0, 0, 1),
                           1, "|");
            c.options.faults = "read:*/updates/base/words.ejd@1=alter";
            return c;
        }(),
        // A writer that comes while a large update is copied under a read lease.
        [] {
            ManifestCase c = signed_run(
                "WriterDuringALeasedCopy",
                [](const Sandbox& box) {
                    box.put_update("base/words.ejd",
                                   reference_encode(dictionary(
                                       "VERSION 2", pseudo_random_bytes(std::size_t{2} << 20, 1))));
                },
                nullptr, {},
                "failed base/words.ejd: the update changed during the install\n" +
                    summary(1, 0, 0, 1),
                1, "|");
            c.options.faults = "read:*/updates/base/words.ejd@2=rewrite";
            return c;
        }(),
        // In an archive, each member is checked as it is read; the files
        // listed but not there come last.
        from_archive(signed_run("ArchiveHashMismatch", nullptr, change_words, {},
                                "failed base/words.ejd: the update does not match its manifest\n" +
                                    summary(1, 0, 0, 1),
                                1, "|")),
        // A listed member that the run leaves out is neither installed nor missing.
        from_archive(signed_run("ArchiveListedFileExcluded", put_gone, nullptr,
                                {"--exclude=gone.ejd"},
                                UPDATED +
                                    "1 file: 0 added, 1 updated, 0 current, 0 failed, 1 "
                                    "excluded, " +
                                    SIGNED,
                                0, "|KEY 7\n")),
        from_archive(signed_run("ArchiveListedFileMissing", put_gone, remove_gone, {},
                                UPDATED +
                                    "failed base/gone.ejd: listed in the manifest but missing\n" +
                                    summary(2, 1, 0, 1),
                                1, "|")),
        // A member too large to be held is checked as it streams.
        from_archive(signed_run(
            "ArchiveLargeMemberMismatch",
            [](const Sandbox& box) {
                box.put_update("base/huge.dic", pseudo_random_bytes(std::size_t{65} << 20, 2));
            },
            [](const Sandbox& box) {
                std::string huge = read_file(box.update_path("base/huge.dic"));
                huge.back() ^= 1;
                box.put_update("base/huge.dic", huge);
            },
            {},
            "failed base/huge.dic: the update does not match its manifest\n" + UPDATED +
                summary(2, 1, 0, 1),
            1, "|")),
        from_archive(signed_run(
            "ArchiveExtraFile", nullptr,
            [](const Sandbox& box) { box.put_update("base/extra.ejd", "unlisted\n"); }, {},
            "failed base/extra.ejd: not in the manifest\n" + UPDATED + summary(2, 1, 0, 1), 1,
            "|")),
        // With no key trusted, a manifest governs the files all the same.
        ManifestCase{"UnsignedManifest",
                     nullptr,
                     "",
                     false,
                     [](const Sandbox& box) { box.put_update("base/extra.ejd", "unlisted\n"); },
                     {},
                     "failed base/extra.ejd: not in the manifest\n" + UPDATED +
                         "2 files: 0 added, 1 updated, 0 current, 1 failed, unsigned\n",
                     "",
                     1,
                     "|"}),
    [](const auto& info) { return std::string(info.param.name); });

// The single tool checks ./.vora-manifest once a key is trusted, and
// records no serial; with none, it is as it always was.
struct SingleCase {
    const char* name;
    bool trusts;
    bool signs;
    const char* argument;
    Step after; // once the tree is signed, or nullptr
    bool installs;
    friend void PrintTo(const SingleCase& c, std::ostream* os) { *os << c.name; }
};

class SignedSingle : public ::testing::TestWithParam<SingleCase> {};

TEST_P(SignedSingle, InstallsOnlyWhatATrustedKeySigned) {
    const SingleCase& c = GetParam();
    Sandbox box;
    box.put_update("base/words.ejd", reference_encode(PLAIN));
    const Publisher publisher(box.scratch(), "publisher");
    ASSERT_EQ(manifest_of(box), 0);
    box.put_update("base/other.ejd", reference_encode(PLAIN));
    if (c.signs)
        publisher.sign(box.updates());
    if (c.trusts)
        publisher.trust();
    if (c.after != nullptr)
        c.after(box);
    const std::string name = std::string(c.argument).substr(std::string(c.argument).rfind('/') + 1);
    expect_outcome(box.run({c.argument}), c.installs ? added(name) : cannot_open_update(),
                   c.installs ? 0 : 1);
    EXPECT_EQ(exists(Sandbox::installed_path("base")), c.installs);
    EXPECT_FALSE(exists(SERIALS));
}

INSTANTIATE_TEST_SUITE_P(
    Signed, SignedSingle,
    ::testing::Values(
        SingleCase{"Listed", true, true, "base/words.ejd", nullptr, true},
        SingleCase{"ListedAsTypedWithADot", true, true, "./base/words.ejd", nullptr, true},
        SingleCase{"NotListed", true, true, "base/other.ejd", nullptr, false},
        SingleCase{"NotSigned", true, false, "base/words.ejd", nullptr, false},
        SingleCase{"HashMismatch", true, true, "base/words.ejd",
                   [](const Sandbox& box) {
                       box.put_update("base/words.ejd", reference_encode(dictionary("VERSION 3")));
                   },
                   false},
        // No key: a manifest, even a bad one, plays no part.
        SingleCase{"NoKeyTrusted", false, false, "base/other.ejd",
                   [](const Sandbox& box) { write_file(box.update_path(".vora-manifest"), "bad"); },
                   true}),
    [](const auto& info) { return std::string(info.param.name); });

// The publisher's manifest lists what the tree would install, as sha256sum
// prints it: names with a backslash or a line feed escaped; no link, no
// hidden or excluded file.
TEST(ManifestTool, ListsWhatTheTreeInstallsAsSha256sumDoes) {
    Sandbox box;
    for (const char* name : {"a/words.ejd", "back\\slash.txt", "new\nline.txt",
                             "carriage\rreturn.txt", "skip~", ".hidden"})
        box.put_update(name, name);
    ASSERT_EQ(symlink("a/words.ejd", box.update_path("link").c_str()), 0);
    ASSERT_EQ(manifest_of(box, "--exclude='*~' --serial=42"), 0);
    const std::string manifest = read_file(box.update_path(".vora-manifest"));
    EXPECT_TRUE(manifest.starts_with("# vora-dict-update manifest 1\n# serial: 42\n"));
    EXPECT_EQ(std::count(manifest.begin(), manifest.end(), '\n'), 6) << manifest;
    EXPECT_EQ(shell("cd " + box.updates() + " && sha256sum --quiet -c .vora-manifest"), 0);
    // Packed with the manifest first; a file changed since is refused, and nothing is left.
    const std::string pack = std::string(VDU_MANIFEST) + " --archive=" + box.scratch() +
                             "/a.tar.xz " + box.updates() + " >/dev/null 2>&1";
    ASSERT_EQ(shell(pack), 0);
    EXPECT_EQ(shell("tar -tf " + box.scratch() + "/a.tar.xz | head -1 | grep -qx .vora-manifest"),
              0);
    write_file(box.update_path("a/words.ejd"), "changed");
    EXPECT_NE(shell(pack), 0);
    EXPECT_FALSE(exists(box.scratch() + "/a.tar.xz.new"));
}

// The publisher's steps, as shell commands in the scratch directory with the
// tree at t/ ($M is vora-dict-manifest, $K and $O the publisher's and another
// key's files without their suffix), and what they must leave.
struct PublisherCase {
    const char* name;
    std::string steps;
    int status;       // of the last step
    std::string out;  // found in the last step's standard output
    std::string err;  // found in its standard error
    std::string then; // a shell check that must pass afterwards
    friend void PrintTo(const PublisherCase& c, std::ostream* os) { *os << c.name; }
};

class PublisherSteps : public ::testing::TestWithParam<PublisherCase> {};

TEST_P(PublisherSteps, KeepATreeConsistent) {
    const PublisherCase& c = GetParam();
    Sandbox box;
    box.put_update("base/words.ejd", reference_encode(PLAIN));
    const Publisher publisher(box.scratch(), "publisher");
    const Publisher other(box.scratch(), "other");
    ASSERT_EQ(symlink(box.updates().c_str(), (box.scratch() + "/t").c_str()), 0);
    const std::string env = std::string("cd ") + box.scratch() + " && M=" + VDU_MANIFEST +
                            " K=" + box.scratch() + "/publisher O=" + box.scratch() + "/other; ";
    const std::string last = c.steps.substr(c.steps.rfind(';') + 1);
    ASSERT_EQ(shell(env + c.steps.substr(0, c.steps.rfind(';') + 1) + " true"), 0);
    const int status = shell(env + last + " >out 2>err");
    EXPECT_EQ(WEXITSTATUS(status), c.status);
    EXPECT_NE(read_file(box.scratch() + "/out").find(c.out), std::string::npos)
        << read_file(box.scratch() + "/out");
    EXPECT_NE(read_file(box.scratch() + "/err").find(c.err), std::string::npos)
        << read_file(box.scratch() + "/err");
    if (!c.then.empty()) {
        EXPECT_EQ(shell(env + c.then), 0) << c.then;
    }
}

const std::string SIGN = "minisign -S -s $K.sec -m t/.vora-manifest >/dev/null; ";

INSTANTIATE_TEST_SUITE_P(
    Publisher, PublisherSteps,
    ::testing::Values(
        // An unchanged tree keeps its manifest, serial and signature.
        PublisherCase{"UnchangedTreeKeepsItsSignature",
                      "$M t >/dev/null; " + SIGN + "cp t/.vora-manifest before; $M t", 0,
                      ", unchanged", "",
                      "cmp before t/.vora-manifest && test -e t/.vora-manifest.minisig"},
        // A change removes the signature that no longer belongs to the manifest.
        PublisherCase{"ChangedTreeLosesItsSignature",
                      "$M t >/dev/null; " + SIGN + "echo more > t/base/more.txt; $M t", 0,
                      "2 files", ".vora-manifest.minisig: removed",
                      "! test -e t/.vora-manifest.minisig"},
        PublisherCase{"NewOptionIsAChange", "$M t >/dev/null; " + SIGN + "$M --name=base t", 0,
                      "1 file", "removed", "grep -qx '# name: base' t/.vora-manifest"},
        PublisherCase{"PastExpiryRefused", "$M --expires=2001-01-01T00:00:00Z t", 2, "",
                      "is not in the future", "! test -e t/.vora-manifest"},
        PublisherCase{"UnsignedArchiveSaysSo", "$M t >/dev/null; $M --archive=a.tar t", 0,
                      "with the manifest, unsigned", "a.tar: unsigned", "test -s a.tar"},
        PublisherCase{"ArchiveKeyVerifiesTheSignature",
                      "$M t >/dev/null; " + SIGN + "$M --archive=a.tar --key=$K.pub t", 0,
                      "with the manifest and its signature", "", "test -s a.tar"},
        PublisherCase{"ArchiveKeyRefusesAnotherKeysSignature",
                      "$M t >/dev/null; minisign -S -s $O.sec -m t/.vora-manifest >/dev/null; "
                      "$M --archive=a.tar --key=$K.pub t",
                      2, "", "does not verify by the key",
                      "! test -e a.tar && ! test -e a.tar.new"},
        // The compression is the name's; zstd's frames carry their checksum.
        PublisherCase{"GzipByItsName", "$M --archive=a.tar.gz t", 0, "1 file", "",
                      "gzip -t a.tar.gz && head -c2 a.tar.gz | od -An -tx1 | grep -q '1f 8b'"},
        PublisherCase{"XzByItsName", "$M --archive=a.tar.xz t", 0, "1 file", "",
                      "xz -t a.tar.xz && xz -lvv a.tar.xz | grep -q CRC64"},
        PublisherCase{"ZstdByItsName", "$M --archive=a.tar.zst t", 0, "1 file", "",
                      "zstd -qt a.tar.zst && zstd -lv a.tar.zst | grep -q 'Check: XXH64'"},
        // Names are packed as their bytes whatever the locale, and install.
        PublisherCase{"NamesAsTheirBytes",
                      "mkdir t/日本 && echo x > t/日本/辞書.txt && echo y > \"t/caf$(printf "
                      "'\\351').txt\"; LC_ALL=C $M --archive=a.tar.zst t",
                      0, "3 files", "",
                      "cd t && " VDU_TREE
                      " ../a.tar.zst | grep -qx 'added 日本/辞書.txt' && " VDU_TREE
                      " ../a.tar.zst | grep -qx 'current caf\\\\xe9.txt (same contents)'"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
