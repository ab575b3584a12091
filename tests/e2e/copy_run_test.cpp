// Whole runs that install an update: decoding, the resulting files and
// their modes, the parent directory, and the failures of the copy.
#include "expected_messages.h"
#include "run_checks.h"
#include "sandbox.h"
#include "scan_in_memory.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testing_support;

namespace {

struct SizeCase {
    const char* name;
    std::size_t size;
    friend void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }
};

class CopyBySize : public ::testing::TestWithParam<SizeCase> {};

// Each update is stored encoded; only the ejd name is decoded on the way in.
TEST_P(CopyBySize, DecodesEjdNamesAndCopiesOthersAsTheyAre) {
    const std::string plain = pseudo_random_bytes(GetParam().size, 7);
    const std::string stored = reference_encode(plain);
    Sandbox box;
    for (const char* path : {"dic/words.ejd", "dic/words.EJD", "dic/words.dic"}) {
        SCOPED_TRACE(path);
        box.put_update(path, stored);
        const std::string name = std::string(path).substr(4);
        expect_success(box.run({path}), added(name));
        const std::string installed = read_file(Sandbox::installed_path(path));
        EXPECT_EQ(installed.size(), stored.size());
        EXPECT_TRUE(installed == (is_encoded_name(path) ? plain : stored));
    }
    // Over a copy one byte longer, which is cut to the update's length.
    Sandbox::put_installed("dic/longer.dic", pseudo_random_bytes(GetParam().size + 1, 8));
    box.put_update("dic/longer.dic", stored);
    expect_success(box.run({"dic/longer.dic"}), updated("longer.dic"));
    EXPECT_TRUE(read_file(Sandbox::installed_path("dic/longer.dic")) == stored);
}

INSTANTIATE_TEST_SUITE_P(Install, CopyBySize,
                         ::testing::Values(SizeCase{"Empty", 0}, SizeCase{"OneByte", 1},
                                           SizeCase{"SectorAndOneByte", 513},
                                           SizeCase{"BlockLessOne", 8191},
                                           SizeCase{"OneBlock", 8192},
                                           SizeCase{"BlockAndOneByte", 8193},
                                           SizeCase{"SeveralBlocks", 3 * 8192 + 123},
                                           SizeCase{"ChunkAndOneByte", 32 * 8192 + 1},
                                           SizeCase{"ManyBlocksOddTail", 100 * 8192 + 4097}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ModeCase {
    const char* name;
    mode_t umask;
    bool installed_exists;
    mode_t expected_file_mode;
    mode_t expected_parent_mode; // 0: the parent existed before
    friend void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.name; }
};

class CopyModes : public ::testing::TestWithParam<ModeCase> {};

TEST_P(CopyModes, NewFilesFollowTheUmaskAndExistingOnesKeepTheirMode) {
    const ModeCase& c = GetParam();
    Sandbox box;
    const std::string plain = dictionary("VERSION 2", "entry\n");
    box.put_update("new/words.ejd", reference_encode(plain));
    if (c.installed_exists)
        Sandbox::put_installed("new/words.ejd", dictionary("VERSION 1", "a longer old entry\n"),
                               c.expected_file_mode);
    RunOptions options;
    options.umask = c.umask;
    const RunResult result = box.run({"new/words.ejd"}, options);
    expect_success(result, c.installed_exists ? updated("words.ejd") : added("words.ejd"));
    EXPECT_EQ(read_file(Sandbox::installed_path("new/words.ejd")), plain);
    EXPECT_EQ(mode_of(Sandbox::installed_path("new/words.ejd")), c.expected_file_mode);
    if (c.expected_parent_mode != 0) {
        EXPECT_EQ(mode_of(Sandbox::installed_path("new")), c.expected_parent_mode);
    }
}

INSTANTIATE_TEST_SUITE_P(Install, CopyModes,
                         ::testing::Values(ModeCase{"NewWithoutUmask", 0, false, 0664, 0775},
                                           ModeCase{"NewWithUmask022", 022, false, 0644, 0755},
                                           ModeCase{"NewWithUmask077", 077, false, 0600, 0700},
                                           ModeCase{"ExistingKeepsMode0600", 0, true, 0600, 0},
                                           ModeCase{"ExistingKeepsMode0444", 0, true, 0444, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CopyRun, ExistingFileKeepsOwnerAndInode) {
    Sandbox box;
    Sandbox::put_installed("words.ejd", dictionary("VERSION 1", std::string(50000, 'x')));
    const std::string path = Sandbox::installed_path("words.ejd");
    ASSERT_EQ(chown(path.c_str(), 1234, 5678), 0);
    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    const std::string plain = dictionary("VERSION 2", "short\n");
    box.put_update("words.ejd", reference_encode(plain));
    expect_success(box.run({"words.ejd"}), updated("words.ejd"));
    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, 1234U);
    EXPECT_EQ(after.st_gid, 5678U);
    EXPECT_EQ(read_file(path), plain);
}

TEST(CopyRun, MissingRootIsMadeForAnArgumentWithoutSlash) {
    Sandbox box("mode=0755", false);
    make_parents(std::string(DICTIONARY));
    ASSERT_FALSE(exists(DICTIONARY));
    box.put_update("top.ejd", reference_encode("plain\n"));
    expect_success(box.run({"top.ejd"}), added("top.ejd"));
    EXPECT_EQ(read_file(Sandbox::installed_path("top.ejd")), "plain\n");
}

TEST(CopyRun, OnlyTheParentDirectoryIsMade) {
    Sandbox box;
    box.put_update("a/b/c.ejd", reference_encode("plain\n"));
    expect_failure(box.run({"a/b/c.ejd"}), write_failed());
    EXPECT_FALSE(exists(Sandbox::installed_path("a")));
}

TEST(CopyRun, DestinationThatCannotBeOpenedIsAWriteFailure) {
    Sandbox box;
    box.put_update("sub/name.ejd", reference_encode("plain\n"));
    // A dangling link into a missing directory cannot be opened for writing.
    ASSERT_EQ(mkdir(Sandbox::installed_path("sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/nonexistent/dir/file", Sandbox::installed_path("sub/name.ejd").c_str()), 0);
    expect_failure(box.run({"sub/name.ejd"}), write_failed());
}

TEST(CopyRun, ParentMadeStaysWhenTheFileCannotBeCreated) {
    // Inodes for the tmpfs root, vora, Dictionary and the new parent: none
    // is left for the file itself.
    Sandbox box("nr_inodes=4,mode=0755");
    box.put_update("sub/name.ejd", reference_encode("plain\n"));
    expect_failure(box.run({"sub/name.ejd"}), write_failed());
    EXPECT_TRUE(exists(Sandbox::installed_path("sub")));
    EXPECT_FALSE(exists(Sandbox::installed_path("sub/name.ejd")));
}

TEST(CopyRun, MissingUpdateCreatesNothing) {
    Sandbox box;
    expect_failure(box.run({"sub/absent.ejd"}), cannot_open_update());
    EXPECT_FALSE(exists(Sandbox::installed_path("sub")));
}

TEST(CopyRun, DirectoryAsUpdateIsRefusedBeforeAnythingChanges) {
    Sandbox box;
    const std::string installed = dictionary("VERSION 1", "keep me\n");
    Sandbox::put_installed("old/words.ejd", installed);
    make_parents(box.update_path("old/words.ejd/"));
    make_parents(box.update_path("new/words.ejd/"));
    expect_failure(box.run({"old/words.ejd"}), cannot_open_update());
    EXPECT_EQ(read_file(Sandbox::installed_path("old/words.ejd")), installed);
    expect_failure(box.run({"new/words.ejd"}), cannot_open_update());
    EXPECT_FALSE(exists(Sandbox::installed_path("new")));
}

TEST(CopyRun, FullFileSystemIsAFailureNotASuccess) {
    Sandbox box("size=64k,mode=0755");
    box.put_update("big.ejd", reference_encode(pseudo_random_bytes(200000, 3)));
    expect_failure(box.run({"big.ejd"}), write_failed());
}

TEST(CopyRun, FileSizeLimitIsAFailureNotASuccess) {
    Sandbox box;
    const std::string old_copy = pseudo_random_bytes(70000, 5);
    Sandbox::put_installed("old.dic", old_copy);
    box.put_update("old.dic", pseudo_random_bytes(100000, 4));
    box.put_update("new.dic", pseudo_random_bytes(100000, 4));
    // Shorter than the copy: no reservation of growth would meet the limit.
    const std::string long_copy = pseudo_random_bytes(100000, 5);
    Sandbox::put_installed("long.dic", long_copy);
    box.put_update("long.dic", pseudo_random_bytes(60000, 4));
    for (const bool ignore_sigxfsz : {true, false}) {
        SCOPED_TRACE(ignore_sigxfsz);
        RunOptions options;
        options.file_size_limit = 30000;
        options.ignore_sigxfsz = ignore_sigxfsz;
        // The limit is known before a byte is written: the old copy stays whole.
        expect_failure(box.run({"old.dic"}, options), write_failed());
        EXPECT_TRUE(read_file(Sandbox::installed_path("old.dic")) == old_copy);
        expect_failure(box.run({"long.dic"}, options), write_failed());
        EXPECT_TRUE(read_file(Sandbox::installed_path("long.dic")) == long_copy);
        expect_failure(box.run({"new.dic"}, options), write_failed());
        EXPECT_FALSE(exists(Sandbox::installed_path("new.dic")));
    }
}

TEST(CopyRun, UpdateWithinTheFileSizeLimitIsInstalled) {
    Sandbox box;
    const std::string plain = pseudo_random_bytes(30000, 6);
    box.put_update("fits.dic", plain);
    RunOptions options;
    options.file_size_limit = 30000;
    options.ignore_sigxfsz = false;
    expect_success(box.run({"fits.dic"}, options), added("fits.dic"));
    EXPECT_TRUE(read_file(Sandbox::installed_path("fits.dic")) == plain);
}

TEST(CopyRun, MessagesIgnoreTheLocale) {
    Sandbox box;
    box.put_update("loc/words.ejd", reference_encode(dictionary("VERSION 1")));
    RunOptions options;
    options.environment = {"PATH=/usr/bin:/bin", "LANG=ja_JP.UTF-8", "LC_ALL=C.UTF-8",
                           "LANGUAGE=ja"};
    expect_success(box.run({"loc/words.ejd"}, options), added("words.ejd"));
    expect_success(box.run({"loc/words.ejd"}, options), already_current("words.ejd", "1", "1"));
}

struct StreamCase {
    const char* name;
    std::vector<int> closed;
    std::optional<std::string> stdout_to;
    int status;
    friend void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }
};

class StandardStreams : public ::testing::TestWithParam<StreamCase> {};

// Closed standard descriptors never let the tool's line into the dictionary;
// a line that cannot be written fails the run, but the install stands.
TEST_P(StandardStreams, NeverReachTheDictionary) {
    const StreamCase& c = GetParam();
    Sandbox box;
    const std::string plain = dictionary("VERSION 2", pseudo_random_bytes(20000, 8));
    box.put_update("dic/words.ejd", reference_encode(plain));
    Sandbox::put_installed("dic/words.ejd", dictionary("VERSION 1"));
    RunOptions options;
    options.closed = c.closed;
    options.stdout_to = c.stdout_to;
    expect_outcome(box.run({"dic/words.ejd"}, options), "", c.status);
    EXPECT_TRUE(read_file(Sandbox::installed_path("dic/words.ejd")) == plain);
    expect_success(box.run({"dic/words.ejd"}), already_current("words.ejd", "2", "2"));
}

INSTANTIATE_TEST_SUITE_P(
    Output, StandardStreams,
    ::testing::Values(StreamCase{"InputAndOutputClosed", {0, 1}, std::nullopt, 0},
                      StreamCase{"AllThreeClosed", {0, 1, 2}, std::nullopt, 0},
                      StreamCase{"OutputOnAFullDevice", {}, "/dev/full", 1}),
    [](const auto& info) { return std::string(info.param.name); });

// Two runs installing different versions of one file at the same moment:
// they follow one another, so the newer ends up installed whole.
TEST(Concurrency, TheNewerUpdateEndsUpWholeWhicheverStartsFirst) {
    Sandbox box;
    const ScratchDir older_tree;
    const ScratchDir older_out;
    const std::string older = dictionary("VERSION 2", pseudo_random_bytes(2 << 20, 11));
    const std::string newer = dictionary("VERSION 3", pseudo_random_bytes(2 << 20, 12));
    box.put_update("dic/words.ejd", reference_encode(newer));
    make_parents(older_tree / "dic/words.ejd");
    write_file(older_tree / "dic/words.ejd", reference_encode(older));
    // Each run's update tree and the directory for its output: newer, older.
    const std::array<std::array<std::string, 2>, 2> runs{
        {{box.updates(), box.scratch()}, {older_tree.path(), older_out.path()}}};
    for (const bool existing : {true, false}) {
        for (int round = 0; round < 6; ++round) {
            SCOPED_TRACE(std::to_string(existing) + " " + std::to_string(round));
            remove_tree(Sandbox::installed_path("dic"));
            if (existing)
                Sandbox::put_installed("dic/words.ejd", dictionary("VERSION 1"));
            const std::size_t first = round % 2;
            std::array<pid_t, 2> pids{};
            for (const std::size_t run : {first, 1 - first})
                pids.at(run) =
                    start_process(tool(), {"dic/words.ejd"}, {}, runs.at(run)[0], runs.at(run)[1]);
            const RunResult newer_run = finish_process(pids[0], runs[0][1]);
            const RunResult older_run = finish_process(pids[1], runs[1][1]);
            // Whichever ran first installed its update; the newer one then
            // updates the older, or the older finds the newer current.
            const std::string done = existing ? updated("words.ejd") : added("words.ejd");
            expect_success(newer_run, newer_run.out == done ? done : updated("words.ejd"));
            expect_success(older_run,
                           older_run.out == done ? done : already_current("words.ejd", "3", "2"));
            EXPECT_TRUE(read_file(Sandbox::installed_path("dic/words.ejd")) == newer);
        }
    }
}

// What a run does with the lock that it finds.
enum class Lock { waits, gives_up, replaces, refuses, made };
// How the lock stands: held by the test, held and replaced by another
// while the run waits, a link to a lock held, or none on a read-only /run.
enum class Setup {
    held,
    replaced_while_held,
    file_added_while_held,
    link,
    fifo,
    read_only_run,
    none
};

struct LockCase {
    const char* name;
    Lock lock;
    Setup setup = Setup::held;
    uid_t owner = 0;
    mode_t mode = 0600;
    // The run is vora-dict-update-tree's, with these arguments, which says
    // that it waits; with --wait=0 it gives up at once.
    std::optional<std::vector<std::string>> tree_args = std::nullopt;
    std::size_t runs = 1; // waiting at once, each slowed; they must then follow one another
    const char* why = ""; // the reason of a refusal, as the tree names it
    friend void PrintTo(const LockCase& c, std::ostream* os) { *os << c.name; }
};

// The kernel's list of locks, a line a lock held or waited for ("->"):
// whether the line is a waiter's, its process and the file's inode.
struct LockLine {
    bool waits = false;
    pid_t pid = 0;
    ino_t inode = 0;
};

std::vector<LockLine> kernel_locks() {
    std::istringstream locks(read_file("/proc/locks"));
    std::vector<LockLine> lines;
    for (std::string line; std::getline(locks, line);) {
        LockLine lock;
        lock.waits = line.find("->") != std::string::npos;
        std::istringstream fields(lock.waits ? line.substr(line.find("->") + 2) : line);
        std::string number;
        std::string kind;
        std::string advisory;
        std::string mode;
        std::string device;
        if (!lock.waits)
            fields >> number;
        if (fields >> kind >> advisory >> mode >> lock.pid >> device) {
            lock.inode = std::stoul(device.substr(device.rfind(':') + 1));
            lines.push_back(lock);
        }
    }
    return lines;
}

// How many of pids hold a lock now.
std::size_t holding(const std::vector<pid_t>& pids) {
    std::size_t count = 0;
    for (const LockLine& lock : kernel_locks())
        if (!lock.waits)
            count += static_cast<std::size_t>(std::count(pids.begin(), pids.end(), lock.pid));
    return count;
}

// The inode of the lock file that pid waits for, or 0.
ino_t waited_for(pid_t pid) {
    for (const LockLine& lock : kernel_locks())
        if (lock.waits && lock.pid == pid)
            return lock.inode;
    return 0;
}

bool running(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

// Waits until the run has ended.
void wait_for_end(pid_t pid) {
    siginfo_t info{};
    (void)waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
}

// Waits until the run waits for the lock file at path, in the kernel's list
// or as its line on standard error (in scratch) says, or has ended.
void wait_for_lock(pid_t pid, const std::string& path, const std::string& scratch) {
    struct stat lock {};
    for (int tries = 0; tries < 30000 && running(pid); ++tries) {
        if (stat(path.c_str(), &lock) == 0 && waited_for(pid) == lock.st_ino)
            return;
        if (exists(scratch + "/stderr") &&
            read_file(scratch + "/stderr").find("waiting for another") != std::string::npos)
            return;
        sched_yield();
        usleep(1000);
    }
}

// A lock file at path with owner and mode, locked by the test.
int hold_lock_file(const std::string& path, uid_t owner, mode_t mode) {
    write_file(path, "", mode);
    EXPECT_EQ(chown(path.c_str(), owner, owner), 0);
    const int held = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(flock(held, LOCK_EX), 0);
    return held;
}

class RunLock : public ::testing::TestWithParam<LockCase> {};

// A run waits for a lock that root holds alone. A lock of root's that
// others could open (and so hold for ever) is replaced; a link or another
// user's file refuses the run, and so does a lock that cannot be made. A
// lock replaced while a run waits is not the lock: the run takes the new one.
TEST_P(RunLock, IsWaitedForOnlyWhenOnlyRootCanHoldIt) {
    const LockCase& c = GetParam();
    Sandbox box;
    box.put_update("words.ejd", reference_encode(dictionary("VERSION 1")));
    const std::string target = c.setup == Setup::link ? "/run/elsewhere" : RUN_LOCK;
    int held = -1;
    if (c.setup == Setup::read_only_run) {
        ASSERT_EQ(mount(nullptr, "/run", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    } else if (c.setup == Setup::fifo) {
        ASSERT_EQ(mkfifo(RUN_LOCK, 0600), 0);
    } else if (c.setup != Setup::none) {
        held = hold_lock_file(target, c.owner, c.mode);
        if (c.setup == Setup::link) {
            ASSERT_EQ(symlink(target.c_str(), RUN_LOCK), 0);
        }
    }
    struct stat before {};
    (void)lstat(target.c_str(), &before);
    RunOptions slowed;
    if (c.runs > 1)
        slowed.faults = "read@*=slow300";
    std::vector<pid_t> pids;
    pids.reserve(c.runs);
    std::vector<ScratchDir> outputs(c.runs);
    for (const ScratchDir& out : outputs)
        pids.push_back(
            c.tree_args ? start_process(VDU_TREE, naming_the_tree(*c.tree_args), {}, box.updates(),
                                        out.path())
                        : start_process(tool(), {"words.ejd"}, slowed, box.updates(), out.path()));
    for (std::size_t i = 0; i < pids.size(); ++i) {
        if (c.lock == Lock::waits)
            wait_for_lock(pids[i], RUN_LOCK, outputs[i].path());
        else
            wait_for_end(pids[i]);
        EXPECT_EQ(running(pids[i]), c.lock == Lock::waits);
    }
    if (c.setup == Setup::replaced_while_held) {
        const int replacing = hold_lock_file("/run/replacing", 0, 0600);
        ASSERT_EQ(rename("/run/replacing", RUN_LOCK), 0);
        close(held);
        wait_for_lock(pids.front(), RUN_LOCK, outputs.front().path());
        EXPECT_TRUE(running(pids.front())) << "the run locked a file that was no longer the lock";
        held = replacing;
    }
    // The tree is listed once the lock is had: a file added meanwhile is installed.
    if (c.setup == Setup::file_added_while_held)
        box.put_update("late.ejd", reference_encode(dictionary("VERSION 1")));
    close(held);
    if (c.runs > 1) {
        while (std::any_of(pids.begin(), pids.end(), running)) {
            ASSERT_LE(holding(pids), 1U) << "two runs hold a lock at once";
            usleep(2000);
        }
    }
    std::vector<RunResult> results;
    for (std::size_t i = 0; i < c.runs; ++i)
        results.push_back(finish_process(pids[i], outputs[i].path()));
    const RunResult& result = results.front();
    const bool installs = c.lock != Lock::refuses && c.lock != Lock::gives_up;
    EXPECT_EQ(exists(Sandbox::installed_path("words.ejd")), installs);
    struct stat lock {};
    if (c.lock == Lock::made || c.lock == Lock::replaces) {
        ASSERT_EQ(lstat(RUN_LOCK, &lock), 0);
        EXPECT_TRUE(S_ISREG(lock.st_mode));
        EXPECT_EQ(lock.st_uid, 0U);
        EXPECT_EQ(lock.st_mode & 07777, 0600U);
        EXPECT_NE(lock.st_ino, before.st_ino);
    }
    if (!c.tree_args) {
        for (const RunResult& run : results)
            EXPECT_EQ(run.status, installs ? 0 : 1) << run.out;
        if (c.runs == 1)
            expect_outcome(result, installs ? added("words.ejd") : write_failed(),
                           installs ? 0 : 1);
        return;
    }
    const std::string program = "vora-dict-update-tree: ";
    const bool waits = c.lock == Lock::waits || c.lock == Lock::gives_up;
    const std::string waiting = waits ? program + "waiting for another install to finish\n" : "";
    const std::string refusal =
        c.lock == Lock::gives_up ? program + "another install is still running (gave up waiting)\n"
        : c.lock == Lock::refuses
            ? program + "cannot take the lock " + RUN_LOCK + ": " + c.why + "\n"
            : "";
    EXPECT_EQ(result.err, waiting + refusal);
    const std::string late = c.setup == Setup::file_added_while_held ? "added late.ejd (1)\n" : "";
    const std::string files = late.empty() ? "1 file: 1 added" : "2 files: 2 added";
    EXPECT_EQ(result.out, installs ? late + "added words.ejd (1)\n" + files +
                                         ", 0 updated, 0 current, 0 failed\n"
                                   : "");
    EXPECT_EQ(result.status, installs ? 0 : 2);
}

const std::vector<std::string> TREE{};

INSTANTIATE_TEST_SUITE_P(
    Concurrency, RunLock,
    ::testing::Values(LockCase{"RootsLock", Lock::waits},
                      LockCase{"TreeWaitsForRootsLock", Lock::waits, Setup::held, 0, 0600, TREE},
                      LockCase{"TreeGivesUpAtOnce", Lock::gives_up, Setup::held, 0, 0600,
                               std::vector<std::string>{"--wait=0"}},
                      LockCase{"TreeWaitsWithinItsLimit", Lock::waits, Setup::held, 0, 0600,
                               std::vector<std::string>{"--wait=10"}},
                      LockCase{"TwoWaitingBehindAThirdFollowOneAnother", Lock::waits, Setup::held,
                               0, 0600, std::nullopt, 2},
                      LockCase{"LockReplacedWhileTheRunWaits", Lock::waits,
                               Setup::replaced_while_held},
                      LockCase{"TreeListsOnceItHasTheLock", Lock::waits,
                               Setup::file_added_while_held, 0, 0600, TREE},
                      LockCase{"RootsLockThatOthersCanOpen", Lock::replaces, Setup::held, 0, 0644},
                      LockCase{"TreeReplacesRootsLockThatOthersCanOpen", Lock::replaces,
                               Setup::held, 0, 0644, TREE},
                      LockCase{"AnotherUsersLock", Lock::refuses, Setup::held, 65534},
                      LockCase{"TreeRefusesAnotherUsersLock", Lock::refuses, Setup::held, 65534,
                               0600, TREE, 1, "another user's file"},
                      LockCase{"LinkToRootsLock", Lock::refuses, Setup::link},
                      LockCase{"TreeRefusesALinkForALock", Lock::refuses, Setup::link, 0, 0600,
                               TREE, 1, "a symbolic link"},
                      LockCase{"TreeRefusesAFifoForALock", Lock::refuses, Setup::fifo, 0, 0600,
                               TREE, 1, "not a regular file"},
                      LockCase{"ReadOnlyRun", Lock::refuses, Setup::read_only_run},
                      LockCase{"TreeOnAReadOnlyRun", Lock::refuses, Setup::read_only_run, 0, 0600,
                               TREE, 1, "Read-only file system"},
                      LockCase{"MadeByTheRun", Lock::made, Setup::none}),
    [](const auto& info) { return std::string(info.param.name); });

// What happens to the lock while run A, installing 2.0 over 1.0, is stopped
// in the middle of its copy: removed (an administrator's rm, a cleaner of
// /run), or opened to others, which makes run B replace it at once.
enum class LockLoss { removed, opened_to_others };

class LostLock : public ::testing::TestWithParam<LockLoss> {};

// Two runs never both commit: B installs 1.5 whole, and A, which no longer
// holds the lock when it goes on, stops and leaves its file to the next run.
// The file ends one whole version, or marked.
TEST_P(LostLock, LeavesOneWholeVersionOrAMarkedFile) {
    Sandbox box;
    const std::string older = dictionary("VERSION 1.0", pseudo_random_bytes(3 << 20, 1));
    const std::string newer = dictionary("VERSION 2.0", pseudo_random_bytes(3 << 20, 2));
    const std::string between = dictionary("VERSION 1.5", pseudo_random_bytes(2 << 20, 3));
    Sandbox::put_installed("words.dic", older);
    box.put_update("words.dic", newer);
    ScratchDir a_out;
    ScratchDir b_updates;
    RunOptions stopped;
    stopped.faults = "write:installed@2=stop"; // the first chunk of the body
    const pid_t a = start_process(tool(), {"words.dic"}, stopped, box.updates(), a_out.path());
    int wait_status = 0;
    ASSERT_EQ(waitpid(a, &wait_status, WUNTRACED), a);
    ASSERT_TRUE(WIFSTOPPED(wait_status));
    if (GetParam() == LockLoss::removed) {
        ASSERT_EQ(unlink(RUN_LOCK), 0);
    } else {
        ASSERT_EQ(chmod(RUN_LOCK, 0644), 0);
    }
    write_file(b_updates.path() + "/words.dic", between);
    expect_success(run_process(tool(), {"words.dic"}, {}, b_updates.path(), box.scratch()),
                   updated("words.dic"));
    ASSERT_EQ(kill(a, SIGCONT), 0);
    expect_failure(finish_process(a, a_out.path()), write_failed());
    const std::string left = read_file(Sandbox::installed_path("words.dic"));
    VersionText text{};
    EXPECT_TRUE(left == between || scan_in_memory(left, HEADER_CHUNK_SIZE, text) == 0)
        << "damaged, and looks current at " << text.data();
}

INSTANTIATE_TEST_SUITE_P(Concurrency, LostLock,
                         ::testing::Values(LockLoss::removed, LockLoss::opened_to_others),
                         [](const auto& info) {
                             return std::string(info.param == LockLoss::removed ? "Removed"
                                                                                : "OpenedToOthers");
                         });

} // namespace
