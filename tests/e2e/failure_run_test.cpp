// Whole runs whose system calls fail, forced by the fault injector, whose
// process is killed midway, or whose file system is full or laid out
// wrongly. A failure always prints the write failure line with status 1,
// never a success line; it never costs the installed copy its contents when
// it comes before the first write; and whatever it leaves, a plain rerun
// installs the update whole.
#include "expected_messages.h"
#include "publisher.h"
#include "run_checks.h"
#include "sandbox.h"
#include "scan_in_memory.h"
#include "trace_record.h"
#include "version_gate.h"

#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

using namespace testing_support;

namespace {

// Terminated: SIGTERM, which waits for the line when it comes during the rewrite.
enum class Run { Succeeds, Fails, Killed, Terminated, FailsThenTerminated };
enum class Left { OldCopy, NewCopy, NoFile, Partial, NoLongerThanTheUpdate };
enum class Rerun { Installs, Current };

struct FaultCase {
    const char* name;
    bool installed_before; // an older installed copy is in place
    std::size_t size;      // the update's plain size
    const char* faults;
    Run run;
    Left left;
    Rerun rerun = Rerun::Installs;
    friend void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }
};

// Each rule names what the failing call touches (see fault_injector.cpp):
// the installed file open for writing (the reservation and the mark, the
// first flush, the body's writes and the cut to length, the second flush,
// the first sector, the third flush, its close), the update (the copy's reads
// of its blocks, none past the length seen at open, and its close), or the
// dictionary (the version gate's read of the copy, the new file's directory
// flushed), counted among the calls that touch the same.
class FaultRun : public ::testing::TestWithParam<FaultCase> {};

// A line late in the update that a header scan running past a lost first
// block would take for the version.
const std::string TAIL_VERSION = "\n# changelog: VERSION 9.99\n";

TEST_P(FaultRun, ReportsExactlyWhatHappenedAndARerunRepairs) {
    const FaultCase& c = GetParam();
    Sandbox box;
    const std::string old_copy = dictionary("VERSION 1", pseudo_random_bytes(70000, 1));
    const std::string plain =
        dictionary("VERSION 2", pseudo_random_bytes(c.size, 2) + TAIL_VERSION);
    if (c.installed_before)
        Sandbox::put_installed("dic/words.ejd", old_copy);
    box.put_update("dic/words.ejd", reference_encode(plain));
    RunOptions options;
    options.faults = c.faults;

    const RunResult result = box.run({"dic/words.ejd"}, options);
    const std::string success = c.installed_before ? updated("words.ejd") : added("words.ejd");
    switch (c.run) {
    case Run::Succeeds:
        expect_success(result, success);
        break;
    case Run::Fails:
        expect_failure(result, write_failed());
        break;
    case Run::Killed:
        expect_outcome(result, "", -SIGKILL);
        break;
    case Run::Terminated:
        expect_outcome(result, "", -SIGTERM);
        break;
    case Run::FailsThenTerminated:
        expect_outcome(result, write_failed(), -SIGTERM);
        break;
    }
    const std::string installed = Sandbox::installed_path("dic/words.ejd");
    switch (c.left) {
    case Left::OldCopy:
        EXPECT_TRUE(read_file(installed) == old_copy);
        break;
    case Left::NewCopy:
        EXPECT_TRUE(read_file(installed) == plain);
        break;
    case Left::NoFile:
        EXPECT_FALSE(exists(installed));
        EXPECT_TRUE(exists(Sandbox::installed_path("dic")));
        break;
    case Left::Partial:
        break;
    case Left::NoLongerThanTheUpdate:
        EXPECT_LE(read_file(installed).size(), plain.size());
        break;
    }
    const std::string repaired = exists(installed) ? updated("words.ejd") : added("words.ejd");
    const RunResult rerun = box.run({"dic/words.ejd"});
    expect_success(rerun,
                   c.rerun == Rerun::Current ? already_current("words.ejd", "2", "2") : repaired);
    EXPECT_TRUE(read_file(installed) == plain);
}

constexpr std::size_t KIB = 1024;
constexpr std::size_t SMALL = 3 * 8192 + 100;
constexpr std::size_t LARGE = 600 * KIB + 5;
constexpr std::size_t HUGE = 8 * KIB * KIB + 5; // a new file this long is reserved whole

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultRun,
    ::testing::Values(
        FaultCase{"NoFault", true, SMALL, "", Run::Succeeds, Left::NewCopy, Rerun::Current},
        FaultCase{"GateReadFailsSoTheUpdateIsInstalled", true, SMALL, "read:dictionary@1=EIO",
                  Run::Succeeds, Left::NewCopy, Rerun::Current},
        FaultCase{"FirstCopyReadFails", true, SMALL, "read:update@1=EIO", Run::Fails,
                  Left::Partial},
        FaultCase{"TailReadFails", true, LARGE, "read:update@2=EIO", Run::Fails, Left::Partial},
        FaultCase{"NoReadPastTheLengthSeenAtOpen", true, LARGE, "read:update@4=EIO", Run::Succeeds,
                  Left::NewCopy, Rerun::Current},
        FaultCase{"UpdateRewrittenInPlaceDuringTheCopy", true, LARGE, "read:update@2=rewrite",
                  Run::Fails, Left::Partial},
        // Nothing is read past the length seen at open: the dictionary's disk
        // cannot be filled, nor the run kept going, by an update that grows.
        FaultCase{"UpdateGrowsDuringTheCopy", true, LARGE, "read:update@2=grow", Run::Fails,
                  Left::NoLongerThanTheUpdate},
        FaultCase{"UpdateGrowsBeforeItsFirstRead", true, SMALL, "read:update@1=grow", Run::Fails,
                  Left::NoLongerThanTheUpdate},
        FaultCase{"ReadInterrupted", true, SMALL, "read:update@1=EINTR", Run::Succeeds,
                  Left::NewCopy, Rerun::Current},
        FaultCase{"ReadsComeBackShort", true, LARGE,
                  "read:update@1=short,read:update@2=short,read:update@4=short", Run::Succeeds,
                  Left::NewCopy, Rerun::Current},
        FaultCase{"MarkWriteFails", true, SMALL, "write:installed@1=EIO", Run::Fails,
                  Left::OldCopy},
        FaultCase{"LaterWriteFails", true, LARGE, "write:installed@2=EIO", Run::Fails,
                  Left::Partial},
        FaultCase{"WriteFullDisk", true, LARGE, "write:installed@3=ENOSPC", Run::Fails,
                  Left::Partial},
        FaultCase{"FirstSectorWriteFails", true, SMALL, "write:installed@3=EIO", Run::Fails,
                  Left::Partial},
        FaultCase{"WritePlacesNothing", true, SMALL, "write:installed@1=zero", Run::Fails,
                  Left::OldCopy},
        FaultCase{"WritesComeBackShort", true, LARGE,
                  "write:installed@1=short,write:installed@2=short,write:installed@4=short",
                  Run::Succeeds, Left::NewCopy, Rerun::Current},
        FaultCase{"WriteInterrupted", true, SMALL, "write:installed@1=EINTR", Run::Succeeds,
                  Left::NewCopy, Rerun::Current},
        // Only the growth past the copy's length is reserved.
        FaultCase{"ReservationFindsNoSpace", true, LARGE, "fallocate:installed@1=ENOSPC",
                  Run::Fails, Left::OldCopy},
        FaultCase{"ReservationFails", true, LARGE, "fallocate:installed@1=EIO", Run::Fails,
                  Left::OldCopy},
        FaultCase{"ReservationInterrupted", true, LARGE, "fallocate:installed@1=EINTR",
                  Run::Succeeds, Left::NewCopy, Rerun::Current},
        FaultCase{"ReservationUnsupported", true, LARGE, "fallocate:installed@1=EOPNOTSUPP",
                  Run::Succeeds, Left::NewCopy, Rerun::Current},
        FaultCase{"MarkFlushFails", true, SMALL, "fdatasync:installed@1=EIO", Run::Fails,
                  Left::Partial},
        FaultCase{"BodyFlushFails", true, SMALL, "fdatasync:installed@2=EIO", Run::Fails,
                  Left::Partial},
        FaultCase{"FirstSectorFlushFails", true, SMALL, "fdatasync:installed@3=EIO", Run::Fails,
                  Left::Partial},
        FaultCase{"CloseOfTheUpdateFails", true, SMALL, "close:update@1=EIO", Run::Succeeds,
                  Left::NewCopy, Rerun::Current},
        // Every flush succeeded, so the copy is whole and the rerun finds it current.
        FaultCase{"CloseOfTheCopyFails", true, SMALL, "close:installed@1=EIO", Run::Fails,
                  Left::NewCopy, Rerun::Current},
        FaultCase{"KilledWritingTheTail", true, LARGE, "write:installed@2=kill", Run::Killed,
                  Left::Partial},
        FaultCase{"KilledBeforeTheFirstFlush", true, LARGE, "fdatasync:installed@1=kill",
                  Run::Killed, Left::Partial},
        FaultCase{"KilledReadingTheFirstBlock", true, SMALL, "read:update@1=kill", Run::Killed,
                  Left::Partial},
        FaultCase{"KilledBeforeTheSecondFlush", true, SMALL, "fdatasync:installed@2=kill",
                  Run::Killed, Left::Partial},
        // The page cache holds the whole new copy; only a crash of the machine
        // could lose it, and then the mark or the old header stays on disk.
        FaultCase{"KilledBeforeTheLastFlush", true, SMALL, "fdatasync:installed@3=kill",
                  Run::Killed, Left::NewCopy, Rerun::Current},
        // A write cut short by a kill, in each step: the mark, the body, the
        // first sector (a write within one page is never cut, so it places
        // nothing or all).
        FaultCase{"MarkCutShortThenKilled", true, SMALL, "write:installed@1=cut100", Run::Killed,
                  Left::Partial},
        FaultCase{"BodyCutShortThenKilled", true, LARGE, "write:installed@3=cut4096", Run::Killed,
                  Left::Partial},
        FaultCase{"FirstSectorCutShortThenKilled", true, SMALL, "write:installed@3=cut0",
                  Run::Killed, Left::Partial},
        FaultCase{"TerminatedBeforeTheRewrite", true, SMALL, "read:dictionary@1=term",
                  Run::Terminated, Left::OldCopy},
        // A stopping signal stops the install after the chunk it is in: the
        // copy keeps the mark, and the line comes before the signal ends the run.
        FaultCase{"TerminatedDuringTheRewrite", true, LARGE, "write:installed@2=term",
                  Run::FailsThenTerminated, Left::Partial},
        FaultCase{"NewFileBodyFindsNoSpace", false, SMALL, "write:installed@2=ENOSPC", Run::Fails,
                  Left::NoFile},
        FaultCase{"NewFileReservationFindsNoSpace", false, HUGE, "fallocate:installed@1=ENOSPC",
                  Run::Fails, Left::NoFile},
        FaultCase{"NewFileReadFails", false, SMALL, "read:update@1=EIO", Run::Fails, Left::NoFile},
        FaultCase{"NewFileWriteFails", false, LARGE, "write:installed@2=EIO", Run::Fails,
                  Left::NoFile},
        FaultCase{"NewFileDataFlushFails", false, SMALL, "fdatasync:installed@1=EIO", Run::Fails,
                  Left::NoFile},
        // A new file is written whole without a name, then linked into place.
        FaultCase{"NewFileKilledBeforeItsName", false, SMALL, "linkat:installed@1=kill",
                  Run::Killed, Left::NoFile},
        FaultCase{"NewFileNameTakenMeanwhile", false, SMALL, "linkat:installed@1=EEXIST",
                  Run::Fails, Left::NoFile},
        FaultCase{"NewFileDirectoryFlushFails", false, SMALL, "fsync:dictionary@1=EIO", Run::Fails,
                  Left::NoFile},
        FaultCase{"NewFileCloseFails", false, SMALL, "close:installed@1=EIO", Run::Fails,
                  Left::NoFile},
        FaultCase{"NewFileKilledWritingTheTail", false, LARGE, "write:installed@2=kill",
                  Run::Killed, Left::NoFile},
        // Killed writing its header: no name shows the file yet.
        FaultCase{"NewFileHeaderCutShortThenKilled", false, SMALL, "write:installed@2=cut0",
                  Run::Killed, Left::NoFile}),
    [](const auto& info) { return std::string(info.param.name); });

// A power cut keeps any subset of the writes since a file's last flush, each
// torn at 512-byte sectors. The fault injector's trace of a run is replayed:
// at every moment, with the pending sectors all kept, all lost, each alone
// kept and each alone lost, a copy that the version gate would take as
// current must be the new file, and once the run is over the new file must
// be on disk.
struct PowerCutCase {
    const char* name;
    std::optional<std::string> old_copy; // the installed copy before the run, if any
    std::string update_name;
    std::size_t size;         // of the update's random body
    bool tree;                // installed by vora-dict-update-tree
    const char* faults = "";  // that make the run fail: it must end with the mark on disk
    bool signed_tree = false; // by a trusted key, its bytes checked as they are copied
    bool archive = false;     // the tree packed by tar, and installed from the archive
    bool fails = true;        // with faults: they make the run fail
    friend void PrintTo(const PowerCutCase& c, std::ostream* os) { *os << c.name; }
};

// One sector of a write (or a cut to length, with truncate set) not yet flushed.
struct Pending {
    bool truncate;
    off_t offset;
    std::string bytes;
};

std::string apply(std::string file, const std::vector<Pending>& pending, std::size_t only,
                  std::size_t except) {
    for (std::size_t i = 0; i < pending.size(); ++i) {
        if ((only != SIZE_MAX && i != only) || i == except)
            continue;
        const Pending& p = pending[i];
        const auto at = static_cast<std::size_t>(p.offset);
        if (p.truncate) {
            file.resize(at);
            continue;
        }
        if (file.size() < at + p.bytes.size())
            file.resize(at + p.bytes.size());
        file.replace(at, p.bytes.size(), p.bytes);
    }
    return file;
}

bool looks_current(const std::string& file, VersionValue update_value) {
    VersionText text{};
    return scan_in_memory(file, HEADER_CHUNK_SIZE, text) >= update_value;
}

void replay(const std::string& trace, ino_t inode, std::string durable, const std::string& plain,
            bool failed, bool new_file) {
    std::vector<Pending> pending;
    std::size_t moments = 0;
    // A new file written without a name shows once it is linked into place.
    bool shown = !new_file;
    for (std::size_t at = 0; at < trace.size();) {
        TraceRecord record{};
        std::memcpy(&record, trace.data() + at, sizeof record);
        const std::string bytes = trace.substr(at + sizeof record, record.size);
        at += sizeof record + record.size;
        const bool ours = record.inode == inode;
        if (record.kind == 'L' && ours) {
            shown = true;
            EXPECT_TRUE(pending.empty() && durable == plain)
                << "linked before its bytes were on disk";
        }
        if ((record.kind == 'F' && ours) || record.kind == 'S') {
            durable = apply(durable, pending, SIZE_MAX, SIZE_MAX);
            pending.clear();
            continue;
        }
        if (!ours)
            continue;
        if (record.kind == 'T')
            pending.push_back({true, record.offset, ""});
        for (std::size_t done = 0; done < bytes.size();) {
            const auto offset = static_cast<std::size_t>(record.offset) + done;
            const std::size_t piece = std::min(bytes.size() - done, 512 - offset % 512);
            pending.push_back({false, static_cast<off_t>(offset), bytes.substr(done, piece)});
            done += piece;
        }
        ++moments;
        for (std::size_t i = 0; shown && i < pending.size() + 2; ++i) {
            const std::size_t one = i < pending.size() ? i : SIZE_MAX;
            for (const bool alone : {true, false}) {
                const std::string state = apply(durable, pending, alone ? one : SIZE_MAX,
                                                alone || one == SIZE_MAX ? SIZE_MAX : one);
                if (looks_current(state, 2)) {
                    ASSERT_TRUE(state == plain) << "moment " << moments << ", sector " << i;
                }
            }
        }
    }
    EXPECT_GT(moments, new_file ? 0U : 2U);
    EXPECT_TRUE(shown || failed) << "the new file was never linked into place";
    if (failed)
        EXPECT_FALSE(looks_current(durable, 2)) << "a failed run left no mark on disk";
    else
        EXPECT_TRUE(durable == plain) << "the new file was not on disk when the run ended";
}

class PowerCut : public ::testing::TestWithParam<PowerCutCase> {};

TEST_P(PowerCut, LeavesTheOldFileTheNewFileOrAMarkedOne) {
    const PowerCutCase& c = GetParam();
    Sandbox box;
    const std::string plain =
        dictionary("VERSION 2", pseudo_random_bytes(c.size, 3) + TAIL_VERSION);
    if (c.old_copy)
        Sandbox::put_installed(c.update_name, *c.old_copy);
    box.put_update(c.update_name, is_encoded_name(c.update_name) ? reference_encode(plain) : plain);
    if (c.signed_tree) {
        const Publisher publisher(box.scratch(), "publisher");
        ASSERT_EQ(manifest_of(box), 0);
        publisher.sign(box.updates());
        publisher.trust();
    }
    RunOptions options;
    options.faults = c.faults;
    options.environment.push_back("VDU_TRACE=" + box.scratch() + "/trace");
    if (c.archive) {
        ASSERT_EQ(shell("cd " + box.updates() + " && tar -cf ../a.tar $(LC_ALL=C ls -A)"), 0);
    }
    const RunResult result = c.tree
                                 ? box.run_program(VDU_TREE,
                                                   c.archive ? std::vector<std::string>{"../a.tar"}
                                                             : std::vector<std::string>{"."},
                                                   options)
                                 : box.run({c.update_name}, options);
    const bool fails = *c.faults != '\0' && c.fails;
    ASSERT_EQ(result.status, fails ? 1 : 0) << result.out;
    struct stat installed {};
    ASSERT_EQ(stat(Sandbox::installed_path(c.update_name).c_str(), &installed), 0);
    const bool unnamed = !c.old_copy && *c.faults == '\0';
    replay(read_file(box.scratch() + "/trace"), installed.st_ino, c.old_copy.value_or(""), plain,
           fails, unnamed);
}

const std::string HEADERLESS = pseudo_random_bytes(30000, 4);

INSTANTIATE_TEST_SUITE_P(
    Faults, PowerCut,
    ::testing::Values(
        PowerCutCase{"NewFile", std::nullopt, "dic/words.ejd", SMALL, false},
        PowerCutCase{"ExistingLonger", dictionary("VERSION 1", pseudo_random_bytes(70000, 1)),
                     "dic/words.ejd", SMALL, false},
        PowerCutCase{"ExistingShorter", dictionary("VERSION 1"), "dic/words.ejd", SMALL, false},
        PowerCutCase{"HeaderlessPlainCopy", HEADERLESS, "dic/words.dic", SMALL, false},
        PowerCutCase{"OneBlockUpdate", HEADERLESS, "dic/words.ejd", 3000, false},
        PowerCutCase{"UpdateWithinOneSector", HEADERLESS, "dic/words.ejd", 100, false},
        PowerCutCase{"TreeNewFile", std::nullopt, "dic/words.ejd", SMALL, true},
        PowerCutCase{"TreeHeaderlessCopy", HEADERLESS, "dic/words.dic", SMALL, true},
        PowerCutCase{"SignedTree", HEADERLESS, "dic/words.ejd", SMALL, true, "", true},
        PowerCutCase{"SignedArchive", HEADERLESS, "dic/words.ejd", SMALL, true, "", true, true},
        // The last flush fails: the mark put back is flushed too.
        PowerCutCase{"LateFailurePutsTheMarkBackOnDisk", HEADERLESS, "dic/words.dic", SMALL, false,
                     "fdatasync:installed@3=EIO"},
        // A file system that cannot make a file without a name: the new file
        // takes the mark, the body and the first sector under its name.
        PowerCutCase{"NewFileWhereNoneIsUnnamed", std::nullopt, "dic/words.ejd", SMALL, false,
                     "openat:*/(unnamed)@*=EOPNOTSUPP", false, false, false},
        PowerCutCase{"TreeNewFileWhereNoneIsUnnamed", std::nullopt, "dic/words.ejd", SMALL, true,
                     "openat:*/(unnamed)@*=EOPNOTSUPP", false, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FullDisk, UpdateThatDoesNotFitLeavesTheInstalledCopyWhole) {
    Sandbox box("size=1m,mode=0755");
    const std::string old_copy = dictionary("VERSION 1", pseudo_random_bytes(600 * KIB, 5));
    Sandbox::put_installed("words.ejd", old_copy);
    box.put_update("words.ejd",
                   reference_encode(dictionary("VERSION 2", pseudo_random_bytes(1536 * KIB, 6))));
    const RunResult result = box.run({"words.ejd"});
    expect_failure(result, write_failed());
    EXPECT_TRUE(read_file(Sandbox::installed_path("words.ejd")) == old_copy);
}

TEST(FullDisk, NewFileThatDoesNotFitIsRemoved) {
    Sandbox box("size=1m,mode=0755");
    box.put_update("sub/words.dic", pseudo_random_bytes(1536 * KIB, 7));
    const RunResult result = box.run({"sub/words.dic"});
    expect_failure(result, write_failed());
    EXPECT_FALSE(exists(Sandbox::installed_path("sub/words.dic")));
}

TEST(FullDisk, ShorterUpdateFitsAndLeavesNoOldTail) {
    Sandbox box("size=1m,mode=0755");
    Sandbox::put_installed("words.ejd", dictionary("VERSION 1", pseudo_random_bytes(600 * KIB, 8)));
    const std::string plain = dictionary("VERSION 2", pseudo_random_bytes(300 * KIB, 9));
    box.put_update("words.ejd", reference_encode(plain));
    const RunResult result = box.run({"words.ejd"});
    expect_success(result, updated("words.ejd"));
    EXPECT_TRUE(read_file(Sandbox::installed_path("words.ejd")) == plain);
}

// A dictionary on a real file system with little free space, each
// installed copy holding 40 MiB: an update that does not fit fails before
// anything is written, a copy-on-write file system needing room for the
// whole update, and one that fits is not refused.
struct DiskCase {
    const char* name;
    const char* mkfs; // the command that makes the file system in the image named behind it
    int image_mib;
    off_t free_mib;
    std::size_t update_mib; // each update's body
    bool tree;              // a.dic and b.dic in one tree run, else a.dic alone
    std::string out;        // of the tree run; a single run fits or fails as out says
    friend void PrintTo(const DiskCase& c, std::ostream* os) { *os << c.name; }
};

class FullDiskOn : public ::testing::TestWithParam<DiskCase> {};

TEST_P(FullDiskOn, UpdateThatDoesNotFitLeavesTheCopyByteForByte) {
    const DiskCase& c = GetParam();
    Sandbox box;
    const std::string image = box.scratch() + "/image";
    const std::string make = "truncate -s " + std::to_string(c.image_mib) + "M " + image + " && " +
                             c.mkfs + " " + image + " >/dev/null 2>&1";
    // The system's own commands make and mount the file system, as an administrator would.
    // NOLINTNEXTLINE(cert-env33-c)
    const auto shell = [](const std::string& command) { return std::system(command.c_str()); };
    if (shell(make) != 0 || shell("mount -o loop " + image + " " + DICTIONARY) != 0)
        GTEST_SKIP() << "cannot make and mount: " << make;
    std::vector<std::pair<std::string, std::string>> files; // name, old copy
    for (const char* name : {"a.dic", "b.dic"}) {
        if (!c.tree && files.size() == 1)
            break;
        files.emplace_back(name, dictionary("VERSION 1", pseudo_random_bytes(40 << 20, 1)));
        Sandbox::put_installed(name, files.back().second);
        box.put_update(name, dictionary("VERSION 2", pseudo_random_bytes(c.update_mib << 20, 2)));
    }
    sync();
    struct statvfs fs {};
    ASSERT_EQ(statvfs(DICTIONARY, &fs), 0);
    const off_t filler = static_cast<off_t>(fs.f_bavail * fs.f_frsize) - (c.free_mib << 20);
    ASSERT_EQ(
        shell("fallocate -l " + std::to_string(filler) + " " + DICTIONARY + "/.filler && sync"), 0);
    const RunResult result = c.tree ? box.run_program(VDU_TREE, {"."}) : box.run({"a.dic"});
    const bool fits = c.out.starts_with("updated a.dic");
    if (c.tree)
        expect_outcome(result, c.out, 1);
    else
        expect_outcome(result, fits ? updated("a.dic") : write_failed(), fits ? 0 : 1);
    for (const auto& [name, old_copy] : files) {
        const bool installed = c.out.find("updated " + name) != std::string::npos;
        EXPECT_EQ(read_file(Sandbox::installed_path(name)) == old_copy, !installed) << name;
    }
}

const std::string NO_SPACE =
    "failed a.dic: writing the dictionary failed: No space left on device\n";

INSTANTIATE_TEST_SUITE_P(
    FullDisk, FullDiskOn,
    ::testing::Values(
        DiskCase{"Ext4SameLength", "mkfs.ext4 -q", 100, 4, 40, false, "updated a.dic"},
        DiskCase{"Ext4Longer", "mkfs.ext4 -q", 100, 4, 48, false, NO_SPACE},
        // xfs, like ext4, rewrites the copy's blocks in place: only growth needs free space.
        DiskCase{"XfsSameLength", "mkfs.xfs -q", 300, 4, 40, false, "updated a.dic"},
        DiskCase{"XfsLonger", "mkfs.xfs -q", 300, 4, 48, false, NO_SPACE},
        DiskCase{"BtrfsSameLength", "mkfs.btrfs -q", 200, 12, 40, false, NO_SPACE},
        // Each fits alone; a batch needs the sum.
        DiskCase{"BtrfsBatch", "mkfs.btrfs -q", 200, 12, 8, true,
                 "updated a.dic (1 -> 2)\nfailed b.dic: writing the dictionary failed: No space "
                 "left on device\n2 files: 0 added, 1 updated, 0 current, 1 failed\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Layout, DestinationThatIsADirectory) {
    Sandbox box;
    make_parents(Sandbox::installed_path("sub/words.ejd/"));
    box.put_update("sub/words.ejd", reference_encode(dictionary("VERSION 1")));
    const RunResult result = box.run({"sub/words.ejd"});
    expect_failure(result, write_failed());
    struct stat status {};
    ASSERT_EQ(stat(Sandbox::installed_path("sub/words.ejd").c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
}

TEST(Layout, UpdateThatIsTheInstalledFileItself) {
    Sandbox box;
    const std::string installed = dictionary("VERSION", "plain entries\n");
    Sandbox::put_installed("sub/words.ejd", installed);
    make_parents(box.update_path("sub/"));
    ASSERT_EQ(symlink(Sandbox::installed_path("sub/words.ejd").c_str(),
                      box.update_path("sub/words.ejd").c_str()),
              0);
    const RunResult result = box.run({"sub/words.ejd"});
    expect_failure(result, write_failed());
    EXPECT_EQ(read_file(Sandbox::installed_path("sub/words.ejd")), installed);
}

void make_socket(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    path.copy(address.sun_path, path.size());
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    close(fd);
}

// What stands at a path instead of a regular file.
// SwappedForALinkToCharDevice: a regular update, which becomes a link to a
// device between its lookup and its open.
enum class Special {
    Fifo,
    Socket,
    CharDevice,
    LinkToCharDevice,
    LinkToDevNull,
    SwappedForALinkToCharDevice
};

struct SpecialCase {
    const char* name;
    Special kind;
    bool as_update; // at the update's path, else at the installed copy's
    friend void PrintTo(const SpecialCase& c, std::ostream* os) { *os << c.name; }
};

class SpecialFile : public ::testing::TestWithParam<SpecialCase> {};

// Neither side is ever opened, read or written unless it is a regular file:
// opening a device node can make the device act, and a FIFO could hold the run.
TEST_P(SpecialFile, IsNeverOpened) {
    const SpecialCase& c = GetParam();
    Sandbox box;
    const std::string path =
        c.as_update ? box.update_path("dic/words.ejd") : Sandbox::installed_path("dic/words.ejd");
    make_parents(path);
    if (!c.as_update)
        box.put_update("dic/words.ejd", reference_encode(dictionary("VERSION 2")));
    // A node of /dev/zero's kind, made here so that nothing else opens it.
    const std::string device = box.scratch() + "/zero";
    ASSERT_EQ(mknod(device.c_str(), S_IFCHR | 0644, makedev(1, 5)), 0);
    std::string watched = path;
    switch (c.kind) {
    case Special::Fifo:
        ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
        break;
    case Special::Socket:
        make_socket(path);
        break;
    case Special::CharDevice:
        ASSERT_EQ(mknod(path.c_str(), S_IFCHR | 0644, makedev(1, 5)), 0);
        break;
    case Special::LinkToCharDevice:
        ASSERT_EQ(symlink(device.c_str(), path.c_str()), 0);
        watched = device;
        break;
    case Special::LinkToDevNull:
        ASSERT_EQ(symlink("/dev/null", path.c_str()), 0);
        watched = device; // /dev/null itself is opened by others all the time
        break;
    case Special::SwappedForALinkToCharDevice:
        box.put_update("dic/words.ejd", reference_encode(dictionary("VERSION 2")));
        watched = device;
        break;
    }
    struct stat before {};
    ASSERT_EQ(lstat(path.c_str(), &before), 0);
    const OpenWatch watch(watched);
    RunOptions options;
    if (c.kind == Special::SwappedForALinkToCharDevice) {
        // The update's open: the file located stays the one opened.
        options.faults = "open:update@1=swap";
        options.environment.push_back("VDU_SWAP=dic/words.ejd=>" + device);
        expect_success(box.run({"dic/words.ejd"}, options), added("words.ejd"));
        EXPECT_FALSE(watch.opened());
        EXPECT_EQ(read_file(Sandbox::installed_path("dic/words.ejd")), dictionary("VERSION 2"));
        return;
    }
    const RunResult result = box.run({"dic/words.ejd"}, options);
    expect_failure(result, c.as_update ? cannot_open_update() : write_failed());
    EXPECT_FALSE(watch.opened());
    if (c.as_update) {
        EXPECT_FALSE(exists(Sandbox::installed_path("dic")));
    }
    struct stat after {};
    ASSERT_EQ(lstat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
}

INSTANTIATE_TEST_SUITE_P(
    Layout, SpecialFile,
    ::testing::Values(SpecialCase{"UpdateIsAFifo", Special::Fifo, true},
                      SpecialCase{"UpdateIsASocket", Special::Socket, true},
                      SpecialCase{"UpdateIsACharDevice", Special::CharDevice, true},
                      SpecialCase{"UpdateIsALinkToACharDevice", Special::LinkToCharDevice, true},
                      SpecialCase{"UpdateSwappedForALinkToACharDevice",
                                  Special::SwappedForALinkToCharDevice, true},
                      SpecialCase{"DestinationIsAFifo", Special::Fifo, false},
                      SpecialCase{"DestinationIsASocket", Special::Socket, false},
                      SpecialCase{"DestinationIsACharDevice", Special::CharDevice, false},
                      SpecialCase{"DestinationIsALinkToDevNull", Special::LinkToDevNull, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Layout, UpdatePathThroughAMissingDirectory) {
    Sandbox box;
    const RunResult result = box.run({"missing/dir/words.ejd"});
    expect_failure(result, cannot_open_update());
    EXPECT_FALSE(exists(Sandbox::installed_path("missing")));
}

TEST(Layout, RootThatIsAFile) {
    Sandbox box("mode=0755", false);
    make_parents(std::string(DICTIONARY));
    write_file(DICTIONARY, "not a directory\n");
    for (const char* update : {"words.ejd", "sub/words.ejd"}) {
        SCOPED_TRACE(update);
        box.put_update(update, reference_encode(dictionary("VERSION 1")));
        const RunResult result = box.run({update});
        expect_failure(result, write_failed());
        EXPECT_EQ(read_file(DICTIONARY), "not a directory\n");
    }
}

} // namespace
