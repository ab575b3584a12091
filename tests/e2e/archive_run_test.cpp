// vora-dict-update-tree over a publisher's archive: archives made by
// Debian's tar (with gzip, xz and zstd), and by Python's tarfile for the
// members that tar will not make. Hostile members are never written, damage
// ends the run with one line, and an archive installs as its unpacked tree.
#include "expected_messages.h"
#include "publisher.h"
#include "run_checks.h"
#include "sandbox.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

using namespace testing_support;

namespace {

const std::string OK = dictionary("VERSION 2", "archived entries\n");
const std::string ADDED_OK = "added ok.txt (2)\n";

// Makes updates/../a.tar with Python's tarfile from members, lines of calls:
// reg(name, data), link(name, target), hard(name, target), fifo(name),
// dev(name), folder(name, mode).
void python_tar(const Sandbox& box, const std::string& members) {
    const std::string script = box.scratch() + "/make.py";
    write_file(script, "import io, tarfile\n"
                       "t = tarfile.open('" +
                           box.updates() +
                           "/../a.tar', 'w')\n"
                           "def add(name, kind, data=b'', target='', mode=0o644):\n"
                           "    i = tarfile.TarInfo(name); i.type = kind; i.linkname = target\n"
                           "    i.size = len(data); i.mode = mode\n"
                           "    t.addfile(i, io.BytesIO(data))\n"
                           "def reg(name, data=b'NAME\\ttest-words\\nVERSION "
                           "2\\nDGD_END\\narchived entries\\n'):\n"
                           "    add(name, tarfile.REGTYPE, data)\n"
                           "def link(name, target): add(name, tarfile.SYMTYPE, target=target)\n"
                           "def hard(name, target): add(name, tarfile.LNKTYPE, target=target)\n"
                           "def fifo(name): add(name, tarfile.FIFOTYPE)\n"
                           "def dev(name): add(name, tarfile.CHRTYPE)\n"
                           "def folder(name, mode): add(name, tarfile.DIRTYPE, mode=mode)\n" +
                           members + "\nt.close()\n");
    ASSERT_EQ(shell("python3 " + script), 0);
}

struct MemberCase {
    const char* name;
    std::string members; // Python, see python_tar
    std::vector<std::string> args;
    std::string out;
    std::vector<std::string> installed; // every file below the dictionary root afterwards
    RunOptions options = {};
    friend void PrintTo(const MemberCase& c, std::ostream* os) { *os << c.name; }
};

// Every regular file below the dictionary root, relative, in byte order.
std::vector<std::string> installed_files() {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(DICTIONARY))
        if (entry.is_regular_file())
            files.push_back(entry.path().lexically_relative(DICTIONARY).string());
    std::sort(files.begin(), files.end());
    return files;
}

class HostileMembers : public ::testing::TestWithParam<MemberCase> {};

TEST_P(HostileMembers, AreNeverWritten) {
    const MemberCase& c = GetParam();
    Sandbox box;
    python_tar(box, "reg('ok.txt')\n" + c.members);
    std::vector<std::string> args = c.args;
    args.emplace_back("../a.tar");
    const RunResult result = box.run_program(VDU_TREE, args, c.options);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, c.out.find("failed ") == std::string::npos ? 0 : 1);
    EXPECT_EQ(installed_files(), c.installed);
    EXPECT_TRUE(read_file(Sandbox::installed_path("ok.txt")) == OK);
    EXPECT_FALSE(exists("/etc/x") || exists(std::string(SHARE) + "/vora/x"));
}

std::string summary(int files, int added, int failed, const std::string& more = "") {
    return std::to_string(files) + (files == 1 ? " file: " : " files: ") + std::to_string(added) +
           " added, 0 updated, " + "0 current, " + std::to_string(failed) + " failed" + more + "\n";
}

MemberCase refused_member(const char* name, const std::string& member, const std::string& line) {
    return {name, member, {}, ADDED_OK + "failed " + line + "\n" + summary(2, 1, 1), {"ok.txt"}};
}

INSTANTIATE_TEST_SUITE_P(
    Archive, HostileMembers,
    ::testing::Values(
        refused_member("ClimbsOut", "reg('../x')", "../x: an unsafe name"),
        refused_member("Absolute", "reg('/etc/x')", "/etc/x: an unsafe name"),
        refused_member("EmptyComponent", "reg('a//b')", "a//b: an unsafe name"),
        refused_member("DotComponent", "reg('a/./b')", "a/./b: an unsafe name"),
        refused_member("ComponentTooLong", "reg('a/' + 'n' * 256)",
                       "a/" + std::string(256, 'n') + ": an unsafe name"),
        refused_member("SymbolicLink", "link('x', '/etc/passwd')", "x: a symbolic link"),
        refused_member("HardLink", "hard('x', 'ok.txt')", "x: a hard link"),
        refused_member("Fifo", "fifo('x')", "x: cannot open the update: not a regular file"),
        refused_member("Device", "dev('x')", "x: cannot open the update: not a regular file"),
        refused_member("Duplicate", "reg('./ok.txt', b'a second ok.txt')",
                       "ok.txt: a second member of that name"),
        MemberCase{"Dotted",
                   "reg('.git/config')\nreg('a/.hidden')\nreg('./.profile')",
                   {},
                   ADDED_OK + summary(1, 1, 0),
                   {"ok.txt"}},
        MemberCase{"LeadingDotSlashAndDirectories",
                   "folder('./', 0o777)\nfolder('./d', 0o777)\nreg('./d/x')",
                   {},
                   ADDED_OK + "added d/x (2)\n" + summary(2, 2, 0),
                   {"d/x", "ok.txt"}},
        MemberCase{"Excluded",
                   "reg('d/x')\nreg('d/y')\nreg('z~')",
                   {"--exclude=d/", "--exclude=*~"},
                   ADDED_OK + summary(1, 1, 0, ", 2 excluded"),
                   {"ok.txt"}},
        MemberCase{"LongerThanTheFileSizeLimit",
                   "reg('big', b'x' * 70000)",
                   {},
                   ADDED_OK + "failed big: writing the dictionary failed: File too large\n" +
                       summary(2, 1, 1),
                   {"ok.txt"},
                   [] {
                       RunOptions limited;
                       limited.file_size_limit = 65536;
                       return limited;
                   }()}),
    [](const auto& info) { return std::string(info.param.name); });

// The tree that the archives hold: files in byte order, one of them encoded.
void put_tree(const Sandbox& box) {
    box.put_update("a/words.ejd", reference_encode(dictionary("VERSION 3", "encoded\n")));
    box.put_update("b/plain.dic", dictionary("VERSION 2", pseudo_random_bytes(300000, 7)));
    box.put_update("c.txt", OK);
}

const std::string TREE_LINES = "added a/words.ejd (3)\nadded b/plain.dic (2)\nadded c.txt (2)\n";

struct FormCase {
    const char* name;
    std::string make; // shell, in the tree's directory: makes ../a.tar
    std::string out;
    std::string faults = {};
    std::optional<rlim_t> open_files = {}; // a limit that makes batches of two files
    std::optional<bool> piped = {};        // given as "-": through a pipe, or redirected
    friend void PrintTo(const FormCase& c, std::ostream* os) { *os << c.name; }
};

class ArchiveForms : public ::testing::TestWithParam<FormCase> {};

TEST_P(ArchiveForms, InstallWholeOrNotAtAll) {
    const FormCase& c = GetParam();
    Sandbox box;
    put_tree(box);
    ASSERT_EQ(shell("cd " + box.updates() + " && " + c.make), 0);
    RunOptions options;
    options.faults = c.faults;
    options.open_files_limit = c.open_files;
    options.stdin_from = box.updates() + "/../a.tar";
    options.stdin_piped = c.piped.value_or(false);
    const RunResult result = box.run_program(VDU_TREE, {c.piped ? "-" : "../a.tar"}, options);
    // A line that starts with the program's name is a refusal, on standard error.
    const bool refused = c.out.starts_with("vora-dict-update-tree: ");
    // "@REASON" stands for the library's words, which depend on the bytes damaged.
    const std::size_t reason = c.out.find("@REASON");
    if (reason == std::string::npos) {
        EXPECT_EQ(refused ? result.err : result.out, c.out);
    } else {
        EXPECT_TRUE(result.out.starts_with(c.out.substr(0, reason)) &&
                    result.out.ends_with(c.out.substr(c.out.find('\n', reason))))
            << result.out;
    }
    EXPECT_EQ(refused ? result.out : result.err, "");
    EXPECT_EQ(result.status, refused ? 2 : c.out.find("failed ") == std::string::npos ? 0 : 1);
    // Each file is the tree's, or was never made: nothing half-written.
    for (const char* name : {"a/words.ejd", "b/plain.dic", "c.txt", "d.dic"}) {
        const std::string installed = Sandbox::installed_path(name);
        const bool added = c.out.find(std::string("added ") + name) != std::string::npos;
        EXPECT_EQ(exists(installed), added) << name;
        if (added && !is_encoded_name(name)) {
            EXPECT_TRUE(read_file(installed) == read_file(box.update_path(name))) << name;
        }
    }
}

const std::string TAR = "tar --sort=name -cf ../a.tar a b c.txt";

// The tree compressed by tar's option, then damaged in the middle of its
// compressed bytes: one bit flipped, or all from there cut off.
FormCase damaged(const char* name, const std::string& option, const std::string& how) {
    const std::string damage =
        how == "flip" ? "python3 -c \"import sys; b = bytearray(open(sys.argv[1], 'rb').read()); "
                        "b[len(b) // 2] ^= 4; open(sys.argv[1], 'wb').write(b)\" ../a.tar"
                      : "truncate -s $(($(stat -c %s ../a.tar) / 2)) ../a.tar";
    return {name, "tar --sort=name " + option + " -cf ../a.tar a b c.txt && " + damage,
            "failed ../a.tar: the archive is damaged: @REASON\n" + summary(1, 0, 1)};
}

// The row's archive given as "-" on standard input, which its lines name.
FormCase on_standard_input(FormCase c, bool piped) {
    c.piped = piped;
    if (const std::size_t at = c.out.find("../a.tar:"); at != std::string::npos)
        c.out.replace(at, 8, "-");
    return c;
}

INSTANTIATE_TEST_SUITE_P(
    Archive, ArchiveForms,
    ::testing::Values(
        FormCase{"Plain", TAR, TREE_LINES + summary(3, 3, 0)},
        FormCase{"Gzip", TAR + " && gzip -c ../a.tar > ../a && mv ../a ../a.tar",
                 TREE_LINES + summary(3, 3, 0)},
        FormCase{"Xz", "tar --sort=name -cJf ../a.tar a b c.txt", TREE_LINES + summary(3, 3, 0)},
        FormCase{"Zstd", "tar --sort=name --zstd -cf ../a.tar a b c.txt",
                 TREE_LINES + summary(3, 3, 0)},
        // Two small members fill the first batch; the next two share the second.
        FormCase{"SmallBatches", "cp b/plain.dic d.dic && tar -cf ../a.tar a c.txt b d.dic",
                 "added a/words.ejd (3)\nadded c.txt (2)\nadded b/plain.dic (2)\nadded d.dic "
                 "(2)\n" +
                     summary(4, 4, 0),
                 "", 16},
        FormCase{"Truncated", TAR + " && truncate -s 100000 ../a.tar",
                 "added a/words.ejd (3)\nfailed b/plain.dic: the archive is damaged: Truncated "
                 "tar archive\n" +
                     summary(2, 1, 1)},
        // A compressed archive without a signature is proved whole, its
        // checksums and its end, before anything of it is committed: a bit
        // flipped in its middle, or an archive cut short, installs nothing.
        damaged("GzipFlippedBit", "-z", "flip"), damaged("GzipTruncated", "-z", "cut"),
        damaged("XzFlippedBit", "-J", "flip"), damaged("XzTruncated", "-J", "cut"),
        damaged("ZstdFlippedBit", "--zstd", "flip"), damaged("ZstdTruncated", "--zstd", "cut"),
        // Data that would need more memory than a run allows is refused unread.
        FormCase{"XzBeyondTheMemoryCap", TAR + " && xz -9 -c ../a.tar > ../a && mv ../a ../a.tar",
                 "vora-dict-update-tree: ../a.tar: not a tar archive: xz data needing more than "
                 "10 MiB of memory (compress with xz -6 or less)\n"},
        FormCase{"ZstdBeyondTheWindowCap",
                 TAR +
                     " && cat ../a.tar | zstd -q --ultra -22 --long=27 > ../a && mv ../a ../a.tar",
                 "vora-dict-update-tree: ../a.tar: not a tar archive: zstd data with a window over "
                 "8 MiB (compress without --long, at level 19 or less)\n"},
        // "-": a pipe is copied and proved like a file; a redirect is the file.
        on_standard_input({"ZstdFromAPipe", "tar --sort=name --zstd -cf ../a.tar a b c.txt",
                           TREE_LINES + summary(3, 3, 0)},
                          true),
        on_standard_input(damaged("GzipFlippedBitFromAPipe", "-z", "flip"), true),
        on_standard_input({"PlainRedirected", TAR, TREE_LINES + summary(3, 3, 0)}, false),
        // A plain archive's members have no check but their headers'.
        // A streamed member whose archive is rewritten meanwhile: neither it
        // nor any member after it is committed.
        FormCase{"StreamRewrittenDuringTheRun",
                 "head -c 70M /dev/urandom > big.dic && tar --sort=name -cf ../a.tar a b big.dic "
                 "c.txt",
                 "added a/words.ejd (3)\nadded b/plain.dic (2)\nfailed big.dic: the update "
                 "changed during the install\nfailed c.txt: the update changed during the "
                 "install\n" +
                     summary(4, 2, 2),
                 "read:update@100=rewrite"},
        FormCase{"CorruptHeader",
                 TAR + " && printf 'garbage' | dd of=../a.tar bs=1 seek=2060 conv=notrunc "
                       "status=none",
                 "added a/words.ejd (3)\nfailed ../a.tar: the archive is damaged: Damaged tar "
                 "archive\n" +
                     summary(2, 1, 1)},
        FormCase{"RewrittenDuringTheRun", TAR,
                 "added a/words.ejd (3)\nfailed b/plain.dic: the update changed during the "
                 "install\nfailed c.txt: the update changed during the install\n" +
                     summary(3, 1, 2),
                 "read:update@2=rewrite"}),
    [](const auto& info) { return std::string(info.param.name); });

// The same tree, unpacked and packed, gives the same lines and the same
// dictionary, run after run, whatever the options; a member too large for
// memory streams, and is compared with its copy all the same.
TEST(ArchiveAndTree, GiveTheSameLinesAndTheSameDictionary) {
    const std::vector<std::vector<std::string>> runs{
        {}, {"--force"}, {"--dry-run", "--force"}, {"--json", "--exclude=*.dic"}, {"-q"}};
    std::vector<std::string> lines[2];
    std::string dictionary_after[2];
    for (const bool archive : {false, true}) {
        Sandbox box;
        put_tree(box);
        std::string huge = pseudo_random_bytes(std::size_t{65} << 20, 9);
        const auto pack = [&] {
            box.put_update("huge.bin", huge);
            return shell("cd " + box.updates() + " && tar --sort=name --zstd -cf ../a.tar *");
        };
        const auto run = [&](std::vector<std::string> args) {
            args.emplace_back(archive ? "../a.tar" : ".");
            const RunResult result = box.run_program(VDU_TREE, args);
            EXPECT_EQ(result.err, "");
            lines[archive].push_back(result.out + std::to_string(result.status));
        };
        ASSERT_EQ(pack(), 0);
        Sandbox::put_installed("b/plain.dic", dictionary("VERSION 1"));
        for (const std::vector<std::string>& args : runs)
            run(args);
        // A large member that differs from its copy far into it.
        huge[std::size_t{60} << 20] ^= 1;
        ASSERT_EQ(pack(), 0);
        run({});
        for (const std::string& file : installed_files())
            dictionary_after[archive] += file + "\n" + read_file(Sandbox::installed_path(file));
    }
    EXPECT_EQ(lines[0], lines[1]);
    EXPECT_TRUE(dictionary_after[0] == dictionary_after[1]);
}

// An archive's members as a run meets them: one larger, unpacked, than any
// dictionary (sparse, or zeros compressed), one left out, and what a run
// then reads and what it leaves. The archives are made by Debian's tar from
// files on a scratch tmpfs, which holds a sparse file of a PiB.
struct BoundCase {
    const char* name;
    std::string make; // shell, in the tmpfs's directory: makes ../a.tar (there: $A)
    std::vector<std::string> args;
    const char* faults;
    std::string dictionary; // options of the dictionary's tmpfs
    std::string out;
    int status;
    bool ok_installed;
    friend void PrintTo(const BoundCase& c, std::ostream* os) { *os << c.name; }
};

class ArchiveBounds : public ::testing::TestWithParam<BoundCase> {};

// The work of a run is bounded by what it could install, and a stopping
// signal ends it at once while it reads.
TEST_P(ArchiveBounds, NoMemberHoldsARun) {
    const BoundCase& c = GetParam();
    Sandbox box(c.dictionary);
    const std::string files = box.scratch() + "/files";
    make_parents(files + "/");
    mount_scratch(files.c_str(), "mode=0755");
    write_file(files + "/ok.txt", OK);
    ASSERT_EQ(shell("cd " + files + " && A=" + box.scratch() + "/a.tar && " + c.make), 0);
    RunOptions options;
    if (*c.faults != '\0')
        options.faults = c.faults;
    std::vector<std::string> args = c.args;
    args.push_back(box.scratch() + "/a.tar");
    const RunResult result = box.run_program(VDU_TREE, args, options);
    umount2(files.c_str(), MNT_DETACH);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(exists(Sandbox::installed_path("ok.txt")), c.ok_installed);
    EXPECT_FALSE(exists(Sandbox::installed_path("big")));
}

const std::string SPARSE = "truncate -s 1P big && tar --sort=name -S -cf $A big ok.txt";

INSTANTIATE_TEST_SUITE_P(
    Archive, ArchiveBounds,
    ::testing::Values(
        // A sparse member is no regular file: passed at the cost of what it
        // stores, its holes never read.
        BoundCase{"SparseMember",
                  SPARSE,
                  {},
                  "",
                  "mode=0755",
                  "failed big: cannot open the update: not a regular file\n" + ADDED_OK +
                      summary(2, 1, 1),
                  1,
                  true},
        BoundCase{"SparseMemberCompressed",
                  SPARSE + " && zstd -q --rm $A -o $A.z && mv $A.z $A",
                  {},
                  "",
                  "mode=0755",
                  "failed big: cannot open the update: not a regular file\n" + ADDED_OK +
                      summary(2, 1, 1),
                  1,
                  true},
        // Zeros that unpack beyond the dictionary's free space: the run ends
        // before they are read, even to be left out.
        BoundCase{"CompressedBeyondTheFreeSpace",
                  "head -c 64M /dev/zero > big && tar --sort=name --zstd -cf $A big ok.txt",
                  {"--exclude=big"},
                  "",
                  "size=8m,mode=0755",
                  "failed big: larger than the dictionary's free space\n" +
                      summary(1, 0, 1, ", 0 excluded"),
                  1,
                  false},
        // Verifying reads no more than installing could.
        BoundCase{"VerifyCompressedBeyondTheFileSystem",
                  "head -c 64M /dev/zero > big && tar --sort=name --zstd -cf $A big ok.txt",
                  {"--verify"},
                  "",
                  "size=8m,mode=0755",
                  "failed big: larger than the dictionary's free space\n1 file: 0 ok, 0 modified, "
                  "0 missing, 0 marked, 1 failed\n",
                  1,
                  false},
        // A stopping signal ends a run at once while it reads.
        BoundCase{"TerminatedWhileReading",
                  "head -c 64M /dev/urandom > big && tar --sort=name --zstd -cf $A big ok.txt",
                  {"--exclude=big"},
                  "read:update@64=term",
                  "mode=0755",
                  "",
                  -SIGTERM,
                  false}),
    [](const auto& info) { return std::string(info.param.name); });

// Two paths to one installed file (a link of root's in the dictionary): the
// dry run prints the real run's lines.
TEST(ArchiveAliases, DryRunPrintsTheRealRunsLines) {
    Sandbox box;
    make_parents(Sandbox::installed_path("a/"));
    ASSERT_EQ(symlink("a", Sandbox::installed_path("b").c_str()), 0);
    python_tar(box, "reg('a/f.txt', b'same bytes')\nreg('b/f.txt', b'same bytes')");
    const std::string lines = "added a/f.txt\ncurrent b/f.txt (same contents)\n";
    EXPECT_EQ(box.run_program(VDU_TREE, {"-n", "../a.tar"}).out,
              lines + "2 files: 1 added, 0 updated, 1 current, 0 failed (dry run)\n");
    EXPECT_EQ(box.run_program(VDU_TREE, {"../a.tar"}).out,
              lines + "2 files: 1 added, 0 updated, 1 current, 0 failed\n");
}

} // namespace
