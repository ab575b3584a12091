// vora-dict-update-tree --verify: a tree installed, then changed as bit
// rot, an editor, a partial restore or a killed install would leave it,
// and verified from the tree and from its archive, by root and by others.
#include "expected_messages.h"
#include "publisher.h"
#include "run_checks.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace testing_support;

namespace {

const std::string TEXT = dictionary("VERSION 2", "verified entries\n");

enum class Change {
    none,
    edited,        // a byte of a.dic changed in place, its version kept
    older,         // a.dic restored from an older backup
    newer,         // a.dic of a later version put in by hand
    removed,       // a.dic gone
    killed,        // an install over an older a.dic killed after its mark
    private_copy,  // a.dic readable by root alone
    private_base,  // base/ open to root alone
    dangling,      // a.dic a link to nothing
    bad_signature, // the signature's trusted comment edited
    stale,         // the manifest expired, and a higher serial recorded
    cut_archive,   // the archive cut short in words.ejd's bytes
    left_out,      // the archive packed without base/a.dic
    edited_ejd,    // a byte of the decoded words.ejd changed
    update_edited, // the tree's a.dic changed after it was signed
};

enum class Input { tree, archive };

struct VerifyCase {
    const char* name;
    Change change;
    bool signed_tree;
    Input input;
    std::vector<std::string> args;
    std::string out; // KEY stands for the signer's key ID
    int status;
    bool as_other_user = false;
    std::string err{};
    friend void PrintTo(const VerifyCase& c, std::ostream* os) { *os << c.name; }
};

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
}

// Changes the installed tree (or the tree, or its signature) as the case says.
void change(const Sandbox& box, const VerifyCase& c, const Publisher& publisher) {
    const std::string a = Sandbox::installed_path("base/a.dic");
    std::string edited = read_file(Sandbox::installed_path("base/words.ejd"));
    switch (c.change) {
    case Change::edited:
        return write_file(a, dictionary("VERSION 2", "verified entrieS\n"));
    case Change::older:
        return write_file(a, dictionary("VERSION 1", "old entries\n"));
    case Change::newer:
        return write_file(a, dictionary("VERSION 3", "new entries\n"));
    case Change::removed:
        ASSERT_EQ(unlink(a.c_str()), 0);
        return;
    case Change::killed: {
        write_file(a, dictionary("VERSION 1", "old entries\n"));
        RunOptions killed;
        killed.faults = "syncfs:installed@1=kill";
        EXPECT_EQ(box.run_program(VDU_TREE, {"."}, killed).status, -SIGKILL);
        return;
    }
    case Change::private_copy:
        ASSERT_EQ(chmod(a.c_str(), 0600), 0);
        return;
    case Change::dangling:
        ASSERT_EQ(unlink(a.c_str()), 0);
        ASSERT_EQ(symlink("nowhere", a.c_str()), 0);
        return;
    case Change::private_base:
        ASSERT_EQ(chmod(Sandbox::installed_path("base").c_str(), 0700), 0);
        return;
    case Change::bad_signature: {
        std::string signature = read_file(box.update_path(".vora-manifest.minisig"));
        replace_all(signature, "release 7", "release 9");
        return write_file(box.update_path(".vora-manifest.minisig"), signature);
    }
    case Change::stale: {
        std::string manifest = read_file(box.update_path(".vora-manifest"));
        manifest.insert(manifest.find('\n') + 1, "# expires: 2001-01-01T00:00:00Z\n");
        write_file(box.update_path(".vora-manifest"), manifest);
        publisher.sign(box.updates(), "-t 'release 7'");
        return write_file(SERIALS, publisher.id + " 9\n", 0644);
    }
    case Change::edited_ejd:
        edited[edited.size() / 2] ^= 1;
        return write_file(Sandbox::installed_path("base/words.ejd"), edited);
    case Change::update_edited:
        return box.put_update("base/a.dic", dictionary("VERSION 2", "other entries\n"));
    case Change::none:
    case Change::cut_archive:
    case Change::left_out:
        return;
    }
}

// The installed tree as a listing: names, modes, times, sizes and digests.
std::string snapshot(const Sandbox& box) {
    const std::string listing = box.scratch() + "/listing";
    EXPECT_EQ(shell(std::string("cd ") + DICTIONARY +
                    " && find . -printf '%p %m %T@ %s\\n' | sort > " + listing +
                    " && { sha256sum base/* 2>&1 || true; } >> " + listing),
              0);
    return read_file(listing);
}

class Verify : public ::testing::TestWithParam<VerifyCase> {};

TEST_P(Verify, SaysWhichInstalledFilesAreNotWhatWasShipped) {
    const VerifyCase& c = GetParam();
    Sandbox box;
    box.put_update("base/a.dic", TEXT);
    box.put_update("base/words.ejd", reference_encode(TEXT));
    const Publisher publisher(box.scratch(), "publisher");
    if (c.signed_tree) {
        ASSERT_EQ(manifest_of(box, "--serial=7"), 0);
        publisher.sign(box.updates(), "-t 'release 7'");
        publisher.trust();
    }
    ASSERT_EQ(box.run_program(VDU_TREE, {"."}).status, 0);
    change(box, c, publisher);
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "--verify");
    if (c.input == Input::archive) {
        ASSERT_EQ(shell("cd " + box.updates() + " && tar --sort=name -cf ../a.tar" +
                        (c.change == Change::left_out ? " --exclude=base/a.dic" : "") +
                        " $(LC_ALL=C ls -A)" +
                        (c.change != Change::cut_archive ? ""
                         : c.signed_tree                 ? " && truncate -s 3900 ../a.tar"
                                                         : " && truncate -s 2060 ../a.tar")),
                  0);
        args.emplace_back("../a.tar");
    } else {
        args.emplace_back(".");
    }
    RunOptions as;
    if (c.as_other_user)
        as.real_uid = as.effective_uid = 65534;
    const std::string before = snapshot(box);
    ASSERT_EQ(unlink(RUN_LOCK), 0); // the install's
    const RunResult result =
        box.run_program(c.as_other_user ? box.world_executable_tool(VDU_TREE) : VDU_TREE, args, as);
    std::string out = c.out;
    replace_all(out, "KEY", publisher.id);
    EXPECT_EQ(result.out, out);
    std::string err = c.err;
    replace_all(err, "KEY", publisher.id);
    EXPECT_EQ(result.err, err);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(snapshot(box), before) << "a verification changes nothing";
    EXPECT_FALSE(exists(RUN_LOCK)) << "nor takes the lock";
}

const std::string OK_A = "ok base/a.dic\n";
const std::string OK_WORDS = "ok base/words.ejd\n";
const std::string SIGNED = ", signed by key KEY, serial 7\n";

std::string counts(int ok, int modified, int missing, int marked, int failed,
                   const std::string& trust = "\n") {
    const int files = ok + modified + missing + marked + failed;
    return std::to_string(files) + (files == 1 ? " file: " : " files: ") + std::to_string(ok) +
           " ok, " + std::to_string(modified) + " modified, " + std::to_string(missing) +
           " missing, " + std::to_string(marked) + " marked, " + std::to_string(failed) +
           " failed" + trust;
}

const std::string JSON_OLDER =
    R"({"type":"file","path":"base/a.dic","state":"modified","installed_version":"1",)"
    R"("update_version":"2","detail":"older: 1 < 2"})"
    "\n"
    R"({"type":"file","path":"base/words.ejd","state":"ok","installed_version":"2",)"
    R"("update_version":"2","detail":null})"
    "\n"
    R"({"type":"summary","files":2,"ok":1,"modified":1,"missing":0,"marked":0,"failed":0,)"
    R"("excluded":0,"signed":false,"key_id":null,"serial":null,"name":null,"expired":false,)"
    R"("recorded_serial":null})"
    "\n";

const std::string JSON_SIGNED =
    R"({"type":"file","path":"base/a.dic","state":"ok","installed_version":"2",)"
    R"("update_version":"2","detail":null})"
    "\n"
    R"({"type":"file","path":"base/words.ejd","state":"ok","installed_version":"2",)"
    R"("update_version":"2","detail":null})"
    "\n"
    R"({"type":"summary","files":2,"ok":2,"modified":0,"missing":0,"marked":0,"failed":0,)"
    R"("excluded":0,"signed":true,"key_id":"KEY","serial":7,"name":null,"expired":false,)"
    R"("recorded_serial":null})"
    "\n";

INSTANTIATE_TEST_SUITE_P(
    Verified, Verify,
    ::testing::Values(
        VerifyCase{"AllOk",
                   Change::none,
                   false,
                   Input::tree,
                   {},
                   OK_A + OK_WORDS + counts(2, 0, 0, 0, 0),
                   0},
        VerifyCase{"SignedAllOk",
                   Change::none,
                   true,
                   Input::tree,
                   {},
                   OK_A + OK_WORDS + counts(2, 0, 0, 0, 0, SIGNED),
                   0},
        VerifyCase{"EditedInPlace",
                   Change::edited,
                   false,
                   Input::tree,
                   {},
                   "modified base/a.dic\n" + OK_WORDS + counts(1, 1, 0, 0, 0),
                   1},
        VerifyCase{"SignedEditedInPlace",
                   Change::edited,
                   true,
                   Input::tree,
                   {},
                   "modified base/a.dic\n" + OK_WORDS + counts(1, 1, 0, 0, 0, SIGNED),
                   1},
        VerifyCase{"SignedEjdEdited",
                   Change::edited_ejd,
                   true,
                   Input::tree,
                   {"-q"},
                   "modified base/words.ejd\n" + counts(1, 1, 0, 0, 0, SIGNED),
                   1},
        VerifyCase{"OlderCopy",
                   Change::older,
                   true,
                   Input::tree,
                   {"--quiet"},
                   "modified base/a.dic (older: 1 < 2)\n" + counts(1, 1, 0, 0, 0, SIGNED),
                   1},
        VerifyCase{"NewerCopy",
                   Change::newer,
                   false,
                   Input::tree,
                   {"-q"},
                   "modified base/a.dic (newer: 3 > 2)\n" + counts(1, 1, 0, 0, 0),
                   1},
        VerifyCase{"Missing",
                   Change::removed,
                   true,
                   Input::tree,
                   {},
                   "missing base/a.dic\n" + OK_WORDS + counts(1, 0, 1, 0, 0, SIGNED),
                   1},
        VerifyCase{"LinkToNothing",
                   Change::dangling,
                   false,
                   Input::tree,
                   {"-q"},
                   "failed base/a.dic: a symbolic link\n" + counts(1, 0, 0, 0, 1),
                   1},
        VerifyCase{"MarkedAfterAKilledInstall",
                   Change::killed,
                   false,
                   Input::tree,
                   {"-q"},
                   "marked base/a.dic\n" + counts(1, 0, 0, 1, 0),
                   1},
        VerifyCase{"UnreadableToAnotherUser",
                   Change::private_copy,
                   false,
                   Input::tree,
                   {},
                   "failed base/a.dic: Permission denied\n" + OK_WORDS + counts(1, 0, 0, 0, 1),
                   1,
                   true},
        VerifyCase{"DirectoryClosedToAnotherUser",
                   Change::private_base,
                   true,
                   Input::tree,
                   {"-q"},
                   "failed base/a.dic: Permission denied\nfailed base/words.ejd: Permission "
                   "denied\n" +
                       counts(0, 0, 0, 0, 2, SIGNED),
                   1,
                   true},
        VerifyCase{"AnotherUserVerifies",
                   Change::none,
                   true,
                   Input::tree,
                   {},
                   OK_A + OK_WORDS + counts(2, 0, 0, 0, 0, SIGNED),
                   0,
                   true},
        VerifyCase{"BadSignatureRefused",
                   Change::bad_signature,
                   true,
                   Input::tree,
                   {},
                   "",
                   2,
                   false,
                   "vora-dict-update-tree: .vora-manifest.minisig: the trusted comment by key KEY "
                   "does not verify\n"},
        VerifyCase{"ForceRefused",
                   Change::none,
                   false,
                   Input::tree,
                   {"-f"},
                   "",
                   2,
                   false,
                   "vora-dict-update-tree: --verify changes nothing, and takes no -n, -f, "
                   "--allow-rollback or --allow-expired (see --help)\n"},
        VerifyCase{"OlderAndExpiredReleaseSaidSo",
                   Change::stale,
                   true,
                   Input::tree,
                   {"-q"},
                   counts(2, 0, 0, 0, 0,
                          ", signed by key KEY, serial 7 (expired at 2001-01-01T00:00:00Z, older "
                          "than serial 9 recorded)\n"),
                   0},
        VerifyCase{"ByTheDigestNotTheTreesBytes",
                   Change::update_edited,
                   true,
                   Input::tree,
                   {"-q"},
                   counts(2, 0, 0, 0, 0, SIGNED),
                   0},
        VerifyCase{"UnsignedTreeComparesItsBytes",
                   Change::update_edited,
                   false,
                   Input::tree,
                   {"-q"},
                   "modified base/a.dic\n" + counts(1, 1, 0, 0, 0),
                   1},
        VerifyCase{"Excluded",
                   Change::edited,
                   false,
                   Input::tree,
                   {"--exclude=a.dic"},
                   OK_WORDS +
                       "1 file: 1 ok, 0 modified, 0 missing, 0 marked, 0 failed, 1 excluded\n",
                   0},
        VerifyCase{"Json", Change::older, false, Input::tree, {"--json"}, JSON_OLDER, 1},
        // By the digest, an ok copy's version is the shipped one.
        VerifyCase{"SignedJson", Change::none, true, Input::tree, {"--json"}, JSON_SIGNED, 0},
        // The archive gives the tree's lines.
        VerifyCase{"ArchiveJson", Change::older, false, Input::archive, {"--json"}, JSON_OLDER, 1},
        VerifyCase{"SignedArchiveOlderCopy",
                   Change::older,
                   true,
                   Input::archive,
                   {"--quiet"},
                   "modified base/a.dic (older: 1 < 2)\n" + counts(1, 1, 0, 0, 0, SIGNED),
                   1},
        VerifyCase{"SignedArchiveEjdEdited",
                   Change::edited_ejd,
                   true,
                   Input::archive,
                   {"-q"},
                   "modified base/words.ejd\n" + counts(1, 1, 0, 0, 0, SIGNED),
                   1},
        VerifyCase{"CutArchive",
                   Change::cut_archive,
                   true,
                   Input::archive,
                   {},
                   OK_A + "failed base/words.ejd: damaged archive\n" +
                       counts(1, 0, 0, 0, 1, SIGNED),
                   1},
        VerifyCase{"UnsignedCutArchive",
                   Change::cut_archive,
                   false,
                   Input::archive,
                   {},
                   OK_A + "failed base/words.ejd: damaged archive\n" + counts(1, 0, 0, 0, 1),
                   1},
        // A listed file that the archive lacks is verified by its digest.
        VerifyCase{"ArchiveLeavesOutAListedFile",
                   Change::left_out,
                   true,
                   Input::archive,
                   {},
                   OK_WORDS + OK_A + counts(2, 0, 0, 0, 0, SIGNED),
                   0}));

} // namespace
