// vora-dict-update-tree over a small tree: each kind of line, the dry run,
// a failing file among good ones, hidden entries, a file three missing
// levels deep, and the refusals.
#include "expected_messages.h"
#include "run_checks.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>

using namespace testing_support;

namespace {

const std::string NEW = dictionary("VERSION 2", "new entries\n");

// The tree: a new file, an older and an equal installed copy, a FIFO that
// cannot be installed, a file three levels below missing directories, a
// plain file, and hidden entries that are skipped.
void make_tree(const Sandbox& box) {
    for (const char* path :
         {"a/new.ejd", "a/old.ejd", "b/same.ejd", "c/d/e/deep.ejd", ".hidden/x.ejd", "a/.dot.ejd"})
        box.put_update(path, reference_encode(NEW));
    box.put_update("plain.txt", "plain\n");
    ASSERT_EQ(mkfifo(box.update_path("b/fifo.ejd").c_str(), 0644), 0);
    Sandbox::put_installed("a/old.ejd", dictionary("VERSION 1"));
    Sandbox::put_installed("b/same.ejd", NEW);
}

const std::string LINES = "added a/new.ejd (2)\n"
                          "updated a/old.ejd (1 -> 2)\n"
                          "failed b/fifo.ejd: cannot open the update: not a regular file\n"
                          "current b/same.ejd (2>=2)\n"
                          "added c/d/e/deep.ejd (2)\n"
                          "added plain.txt\n";
const std::string SUMMARY = "6 files: 3 added, 1 updated, 1 current, 1 failed";

// Every path below the dictionary root with its contents ("/" for a directory).
std::map<std::string, std::string> dictionary_tree(const std::string& dir = DICTIONARY) {
    std::map<std::string, std::string> tree;
    for (const std::string& name : list_directory(dir)) {
        const std::string path = dir + '/' += name;
        struct stat status {};
        lstat(path.c_str(), &status);
        if (S_ISDIR(status.st_mode)) {
            tree[path] = "/";
            tree.merge(dictionary_tree(path));
        } else {
            tree[path] = read_file(path);
        }
    }
    return tree;
}

struct TreeCase {
    const char* name;
    std::vector<std::string> args;
    bool as_nobody;
    bool installs; // else the dictionary tree stays as it was, and no lock file is made
    std::string out;
    int status;
    std::string err; // the refusal's line, whole
    friend void PrintTo(const TreeCase& c, std::ostream* os) { *os << c.name; }
};

class TreeRun : public ::testing::TestWithParam<TreeCase> {};

TEST_P(TreeRun, PrintsItsLinesAndInstallsWhatItSays) {
    const TreeCase& c = GetParam();
    Sandbox box;
    make_tree(box);
    const auto before = dictionary_tree();
    RunOptions options;
    std::string binary = VDU_TREE;
    if (c.as_nobody) {
        options.real_uid = 65534;
        binary = box.world_executable_tool(VDU_TREE);
    }
    const RunResult result = box.run_program(binary, c.args, options);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.status, c.status);
    if (!c.installs) {
        EXPECT_EQ(dictionary_tree(), before);
        EXPECT_FALSE(exists(RUN_LOCK));
        return;
    }
    for (const char* path : {"a/new.ejd", "a/old.ejd", "b/same.ejd", "c/d/e/deep.ejd"})
        EXPECT_EQ(read_file(Sandbox::installed_path(path)), NEW) << path;
    EXPECT_EQ(read_file(Sandbox::installed_path("plain.txt")), "plain\n");
    EXPECT_EQ(mode_of(Sandbox::installed_path("c/d")), 0755U);
    for (const char* path : {".hidden", "a/.dot.ejd", "b/fifo.ejd"})
        EXPECT_FALSE(exists(Sandbox::installed_path(path))) << path;
}

// A run refused before anything is looked at, with its line on standard error.
TreeCase refused(const char* name, std::vector<std::string> args, const std::string& why) {
    return {name, std::move(args), false, false, "", 2, "vora-dict-update-tree: " + why + "\n"};
}

const std::string QUIET = "failed b/fifo.ejd: cannot open the update: not a regular file\n";

INSTANTIATE_TEST_SUITE_P(
    Tree, TreeRun,
    ::testing::Values(
        TreeCase{"Installs", {}, false, true, LINES + SUMMARY + "\n", 1, ""},
        TreeCase{"InstallsTheNamedDirectory", {"."}, false, true, LINES + SUMMARY + "\n", 1, ""},
        TreeCase{"Quiet", {"--quiet"}, false, true, QUIET + SUMMARY + "\n", 1, ""},
        TreeCase{"DryRun", {"-n"}, false, false, LINES + SUMMARY + " (dry run)\n", 1, ""},
        TreeCase{"NotRoot", {}, true, false, "", 2, "vora-dict-update-tree: must be run as root\n"},
        refused("UnknownOption", {"--force"}, "unknown option '--force' (see --help)"),
        refused("TwoDirectories", {"a", "b"}, "more than one directory given (see --help)"),
        refused("MissingDirectory", {"absent"}, "absent: No such file or directory"),
        refused("DirectoryThatIsAFile", {"plain.txt"}, "plain.txt: Not a directory")),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
