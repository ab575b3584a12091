// Whole runs whose system calls fail, forced by the fault injector, or whose
// file system is full or laid out wrongly. A failure always prints the write
// failure line with status 1, never a success line, and never costs the
// installed copy its contents when the failure comes before the first write.
#include "expected_messages.h"
#include "run_checks.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace testing_support;

namespace {

enum class Left { OldCopy, NewCopy, NoFile, Unchecked };

struct FaultCase {
    const char* name;
    bool installed_before; // an older installed copy is in place
    std::size_t size;      // the update's plain size
    const char* faults;
    bool succeeds;
    Left left;
    friend void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }
};

// With an older copy installed, the calls come in this order: the version
// gate's read and close of the update, then the reservation, the copy's
// reads and writes, the close of the update and the close of the copy.
class FaultRun : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultRun, ReportsExactlyWhatHappened) {
    const FaultCase& c = GetParam();
    Sandbox box;
    const std::string old_copy = dictionary("VERSION 1", pseudo_random_bytes(70000, 1));
    const std::string plain = dictionary("VERSION 2", pseudo_random_bytes(c.size, 2));
    if (c.installed_before)
        Sandbox::put_installed("dic/words.ejd", old_copy);
    box.put_update("dic/words.ejd", reference_encode(plain));
    RunOptions options;
    options.faults = c.faults;

    const RunResult result = box.run({"dic/words.ejd"}, options);
    const std::string success = c.installed_before ? updated("words.ejd") : added("words.ejd");
    expect_outcome(result, c.succeeds ? success : write_failed(), c.succeeds ? 0 : 1);
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
    case Left::Unchecked:
        break;
    }
}

constexpr std::size_t KIB = 1024;
constexpr std::size_t SMALL = 3 * 8192 + 100;
constexpr std::size_t LARGE = 600 * KIB + 5;

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultRun,
    ::testing::Values(
        FaultCase{"NoFault", true, SMALL, "", true, Left::NewCopy},
        FaultCase{"GateReadFailsSoTheUpdateIsInstalled", true, SMALL, "read@1=EIO", true,
                  Left::NewCopy},
        FaultCase{"FirstCopyReadFails", true, SMALL, "read@2=EIO", false, Left::OldCopy},
        FaultCase{"ReadAtTheEndFails", true, SMALL, "read@3=EIO", false, Left::Unchecked},
        FaultCase{"ReadInterrupted", true, SMALL, "read@2=EINTR", true, Left::NewCopy},
        FaultCase{"ReadsComeBackShort", true, LARGE, "read@2=short,read@3=short,read@5=short", true,
                  Left::NewCopy},
        FaultCase{"FirstWriteFails", true, SMALL, "write@1=EIO", false, Left::OldCopy},
        FaultCase{"LaterWriteFails", true, LARGE, "write@2=EIO", false, Left::Unchecked},
        FaultCase{"WriteFullDisk", true, LARGE, "write@3=ENOSPC", false, Left::Unchecked},
        FaultCase{"WritePlacesNothing", true, SMALL, "write@1=zero", false, Left::OldCopy},
        FaultCase{"WritesComeBackShort", true, LARGE, "write@1=short,write@2=short,write@4=short",
                  true, Left::NewCopy},
        FaultCase{"WriteInterrupted", true, SMALL, "write@1=EINTR", true, Left::NewCopy},
        FaultCase{"ReservationFindsNoSpace", true, SMALL, "fallocate@1=ENOSPC", false,
                  Left::OldCopy},
        FaultCase{"ReservationFails", true, SMALL, "fallocate@1=EIO", false, Left::OldCopy},
        FaultCase{"ReservationInterrupted", true, SMALL, "fallocate@1=EINTR", true, Left::NewCopy},
        FaultCase{"ReservationUnsupported", true, SMALL, "fallocate@1=EOPNOTSUPP", true,
                  Left::NewCopy},
        FaultCase{"CloseOfTheUpdateFails", true, SMALL, "close@2=EIO", true, Left::NewCopy},
        FaultCase{"CloseOfTheCopyFails", true, SMALL, "close@3=EIO", false, Left::Unchecked},
        FaultCase{"NewFileReservationFindsNoSpace", false, SMALL, "fallocate@1=ENOSPC", false,
                  Left::NoFile},
        FaultCase{"NewFileReadFails", false, SMALL, "read@1=EIO", false, Left::NoFile},
        FaultCase{"NewFileWriteFails", false, LARGE, "write@2=EIO", false, Left::NoFile},
        FaultCase{"NewFileCloseFails", false, SMALL, "close@2=EIO", false, Left::NoFile}),
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

TEST(Layout, DestinationThatIsADeviceIsWrittenWithoutReservation) {
    Sandbox box;
    make_parents(Sandbox::installed_path("dev/"));
    ASSERT_EQ(symlink("/dev/null", Sandbox::installed_path("dev/sink.ejd").c_str()), 0);
    box.put_update("dev/sink.ejd", reference_encode(pseudo_random_bytes(SMALL, 10)));
    const RunResult result = box.run({"dev/sink.ejd"});
    expect_success(result, updated("sink.ejd"));
    struct stat status {};
    ASSERT_EQ(lstat(Sandbox::installed_path("dev/sink.ejd").c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
}

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
