// vora-dict-update-tree: each kind of line over a small tree (the dry run, a
// failing file among good ones, hidden entries, links, device nodes, names
// that need escaping, byte order), the refusals, the batches and their
// failures, the dry run told the truth, and the JSON lines.
#include "expected_messages.h"
#include "run_checks.h"
#include "sandbox.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace testing_support;

namespace {

const std::string NEW = dictionary("VERSION 2", "new entries\n");
// Every kind of byte that could break a line or drive the terminal (C0, DEL,
// the C1 CSI as UTF-8), beside printable UTF-8 that stays as it is.
const std::string ODD_NAME = "esc\\ape\x1b\n\x7f\r\xc2\x9b\xc2\x9f\xe2\x80\xae\xc3\xa9.txt";
const std::string NOT_UTF8 = "bad\xff.txt";

// The tree: a new file, an older and an equal installed copy, a FIFO and a
// device node that cannot be installed, a file three levels below missing
// directories, plain files with odd names, a file that others may not read,
// a link to a secret outside the tree and three to directories (one of
// them another user's), and hidden entries that are skipped.
void make_tree(const Sandbox& box) {
    for (const char* path : {"a/new.ejd", "a/old.ejd", "a-b.ejd", "b/same.ejd", "c/d/e/deep.ejd",
                             ".hidden/x.ejd", "a/.dot.ejd"})
        box.put_update(path, reference_encode(NEW));
    for (const std::string& path : {std::string("plain.txt"), ODD_NAME, NOT_UTF8})
        box.put_update(path, "plain\n");
    ASSERT_EQ(mkfifo(box.update_path("b/fifo.ejd").c_str(), 0644), 0);
    ASSERT_EQ(mknod(box.update_path("b/null.ejd").c_str(), S_IFCHR | 0644, makedev(1, 3)), 0);
    write_file(box.scratch() + "/secret", "secret\n", 0600);
    ASSERT_EQ(symlink((box.scratch() + "/secret").c_str(), box.update_path("link.ejd").c_str()), 0);
    ASSERT_EQ(symlink("c", box.update_path("dirlink").c_str()), 0);
    ASSERT_EQ(symlink(".", box.update_path("self-link").c_str()), 0);
    ASSERT_EQ(symlink("c", box.update_path("users-link").c_str()), 0);
    ASSERT_EQ(lchown(box.update_path("users-link").c_str(), 65534, 65534), 0);
    write_file(box.update_path("private.txt"), "private\n", 0600);
    ASSERT_EQ(symlink(box.updates().c_str(), (box.scratch() + "/current").c_str()), 0);
    Sandbox::put_installed("a/old.ejd", dictionary("VERSION 1"));
    Sandbox::put_installed("b/same.ejd", NEW);
}

const std::string LINES =
    "added a-b.ejd (2)\n"
    "added a/new.ejd (2)\n"
    "updated a/old.ejd (1 -> 2)\n"
    "failed b/fifo.ejd: cannot open the update: not a regular file\n"
    "failed b/null.ejd: cannot open the update: not a regular file\n"
    "current b/same.ejd (2>=2)\n"
    "added bad\\xff.txt\n"
    "added c/d/e/deep.ejd (2)\n"
    "failed dirlink: a symbolic link\n"
    "added esc\\\\ape\\x1b\\n\\x7f\\r\\xc2\\x9b\\xc2\\x9f\\xe2\\x80\\xae\xc3\xa9.txt\n"
    "failed link.ejd: a symbolic link\n"
    "added plain.txt\n"
    "failed private.txt: not readable by others\n"
    "failed self-link: a symbolic link\n"
    "failed users-link: a symbolic link\n";
const std::string SUMMARY = "15 files: 6 added, 1 updated, 1 current, 7 failed";

// Every path below dir with its contents: "/" for a directory, "-> TARGET"
// for a link, "?" for any other file that is not a regular one.
std::map<std::string, std::string> dictionary_tree(const std::string& dir = SHARE) {
    std::map<std::string, std::string> tree;
    for (const std::string& name : list_directory(dir)) {
        const std::string path = dir + '/' += name;
        struct stat status {};
        lstat(path.c_str(), &status);
        std::array<char, 256> target{};
        if (S_ISDIR(status.st_mode)) {
            tree[path] = "/";
            tree.merge(dictionary_tree(path));
        } else if (S_ISLNK(status.st_mode)) {
            const ssize_t size = readlink(path.c_str(), target.data(), target.size());
            tree[path] = std::string("-> ").append(
                target.data(), static_cast<std::size_t>(std::max<ssize_t>(size, 0)));
        } else {
            tree[path] = S_ISREG(status.st_mode) ? read_file(path) : "?";
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
    RunOptions options = {};
    friend void PrintTo(const TreeCase& c, std::ostream* os) { *os << c.name; }
};

RunOptions with(const char* faults, std::optional<rlim_t> open_files = std::nullopt,
                std::optional<std::string> stdout_to = std::nullopt) {
    RunOptions options;
    if (*faults != '\0')
        options.faults = faults;
    options.open_files_limit = open_files;
    options.stdout_to = std::move(stdout_to);
    return options;
}

RunOptions in_environment(const char* variable) {
    RunOptions options;
    options.environment.emplace_back(variable);
    return options;
}

class TreeRun : public ::testing::TestWithParam<TreeCase> {};

TEST_P(TreeRun, PrintsItsLinesAndInstallsWhatItSays) {
    const TreeCase& c = GetParam();
    Sandbox box;
    make_tree(box);
    const auto before = dictionary_tree();
    const OpenWatch fifo(box.update_path("b/fifo.ejd"));
    const OpenWatch device(box.update_path("b/null.ejd"));
    RunOptions options = c.options;
    std::string binary = VDU_TREE;
    if (c.as_nobody) {
        options.real_uid = 65534;
        binary = box.world_executable_tool(VDU_TREE);
    }
    // "(none)": no argument at all; else "." when they name no DIR or ARCHIVE.
    std::vector<std::string> args = c.args == std::vector<std::string>{"(none)"}
                                        ? std::vector<std::string>{}
                                        : naming_the_tree(c.args);
    for (std::string& arg : args) // "@/" stands for the scratch directory
        if (arg.starts_with("@/"))
            arg = box.scratch() + arg.substr(1);
    const RunResult result = box.run_program(binary, args, options);
    EXPECT_EQ(result.out, c.out);
    // "@..." stands for the lines of the usage between its first and its last.
    const std::size_t elided = c.err.find("@...\n");
    if (elided == std::string::npos) {
        EXPECT_EQ(result.err, c.err);
    } else {
        EXPECT_TRUE(result.err.starts_with(c.err.substr(0, elided))) << result.err;
        EXPECT_TRUE(result.err.ends_with(c.err.substr(elided + 5))) << result.err;
    }
    EXPECT_EQ(result.status, c.status);
    EXPECT_FALSE(fifo.opened());
    EXPECT_FALSE(device.opened());
    if (!c.installs) {
        EXPECT_EQ(dictionary_tree(), before);
        EXPECT_FALSE(exists(RUN_LOCK));
        return;
    }
    for (const char* path : {"a/new.ejd", "a/old.ejd", "a-b.ejd", "b/same.ejd", "c/d/e/deep.ejd"})
        EXPECT_EQ(read_file(Sandbox::installed_path(path)), NEW) << path;
    EXPECT_EQ(read_file(Sandbox::installed_path(ODD_NAME)), "plain\n");
    EXPECT_EQ(mode_of(Sandbox::installed_path("c/d")), 0755U);
    for (const char* path :
         {".hidden", "a/.dot.ejd", "b/fifo.ejd", "link.ejd", "dirlink", "private.txt"})
        EXPECT_FALSE(exists(Sandbox::installed_path(path))) << path;
}

// A run as root; installs tells whether it installs the tree.
TreeCase as_root(const char* name, std::vector<std::string> args, bool installs, std::string out,
                 int status, std::string err, RunOptions options = {}) {
    return {name,           std::move(args), false,          installs,
            std::move(out), status,          std::move(err), std::move(options)};
}

// A run refused before anything is looked at, with its line on standard error
// (and out on standard output).
TreeCase refused(const char* name, std::vector<std::string> args, const std::string& why,
                 RunOptions options = {}, std::string out = "") {
    return {name,
            std::move(args),
            false,
            false,
            std::move(out),
            2,
            "vora-dict-update-tree: " + why + "\n",
            std::move(options)};
}

const std::string QUIET = "failed b/fifo.ejd: cannot open the update: not a regular file\n"
                          "failed b/null.ejd: cannot open the update: not a regular file\n"
                          "failed dirlink: a symbolic link\n"
                          "failed link.ejd: a symbolic link\n"
                          "failed private.txt: not readable by others\n"
                          "failed self-link: a symbolic link\n"
                          "failed users-link: a symbolic link\n";

INSTANTIATE_TEST_SUITE_P(
    Tree, TreeRun,
    ::testing::Values(
        TreeCase{"Installs", {}, false, true, LINES + SUMMARY + "\n", 1, ""},
        // A run names what it installs: its usage, and nothing installed.
        TreeCase{"NamesNothing",
                 {"(none)"},
                 false,
                 false,
                 "",
                 2,
                 "Usage: vora-dict-update-tree [OPTION]... DIR | ARCHIVE\n@...\n"
                 "vora-dict-update-tree: no DIR or ARCHIVE given (\".\" is the current "
                 "directory)\n"},
        TreeCase{"InstallsTheNamedDirectory", {"."}, false, true, LINES + SUMMARY + "\n", 1, ""},
        // A link is followed to the tree only when root made it.
        TreeCase{
            "InstallsThroughRootsLink", {"self-link"}, false, true, LINES + SUMMARY + "\n", 1, ""},
        TreeCase{"InstallsThroughRootsAbsoluteLink",
                 {"@/current"},
                 false,
                 true,
                 LINES + SUMMARY + "\n",
                 1,
                 ""},
        refused("LinkOfAnotherUser", {"users-link/d"},
                "users-link: a symbolic link that another user owns"),
        refused("TooFewDescriptors", {},
                "too few file descriptors: raise the limit of open files (ulimit -n)", with("", 5)),
        // The installs stand; the report's failure is named.
        as_root("ReportCannotBeWritten", {}, true, "", 1,
                "vora-dict-update-tree: write error: No space left on device\n",
                with("", std::nullopt, "/dev/full")),
        refused("RefusedWithJson", {"--forced", "--json"}, "unknown option '--forced' (see --help)",
                {},
                R"j({"type":"error","error":"unknown option '--forced' (see --help)"})j"
                "\n"),
        as_root("Version", {"--version"}, false,
                "vora-dict-update-tree (vora-dict-update) " VDU_VERSION "\n", 0, ""),
        TreeCase{"Quiet", {"--quiet"}, false, true, QUIET + SUMMARY + "\n", 1, ""},
        TreeCase{"DryRun", {"-n"}, false, false, LINES + SUMMARY + " (dry run)\n", 1, ""},
        TreeCase{"NotRoot", {}, true, false, "", 2, "vora-dict-update-tree: must be run as root\n"},
        // --json after --exclude is the pattern, not an option.
        TreeCase{"ExcludeTakesTheNextArgument",
                 {"--exclude", "--json"},
                 false,
                 true,
                 LINES + SUMMARY + ", 0 excluded\n",
                 1,
                 ""},
        refused("UnknownOption", {"--forced"}, "unknown option '--forced' (see --help)"),
        // A piped archive is copied where $TMPDIR says first.
        refused("NoRoomForStandardInput", {"-"},
                "cannot copy standard input into /nowhere: No such file or directory",
                in_environment("TMPDIR=/nowhere")),
        refused("UnknownLetter", {"-nx"}, "unknown option '-x' (see --help)"),
        refused("UnknownOptionWithControls", {"--fo\nrce\xc2\x9b"},
                "unknown option '--fo\\nrce\\xc2\\x9b' (see --help)"),
        refused("ValueForAnOptionWithout", {"--dry-run=x"},
                "unknown option '--dry-run=x' (see --help)"),
        refused("ValueForHelp", {"--help=1"}, "unknown option '--help=1' (see --help)"),
        refused("TwoDirectories", {"a", "b"}, "more than one directory given (see --help)"),
        refused("EmptyDirectoryName", {""}, "the directory name is empty (see --help)"),
        refused("WaitWithAUnit", {"--wait=5m"}, "invalid --wait value '5m' (see --help)"),
        refused("WaitThatIsNoNumber", {"--wait=abc"}, "invalid --wait value 'abc' (see --help)"),
        refused("WaitInHexadecimal", {"--wait=0x10"}, "invalid --wait value '0x10' (see --help)"),
        refused("MissingDirectory", {"absent\n"}, "absent\\n: No such file or directory"),
        refused("FileThatIsNoArchive", {"plain.txt"},
                "plain.txt: not a tar archive: Unrecognized archive format")),
    [](const auto& info) { return std::string(info.param.name); });

std::vector<nlohmann::json> json_lines(const std::string& out) {
    std::vector<nlohmann::json> lines;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(nlohmann::json::parse(line));
    return lines;
}

// --json: one object a file, read back by a JSON parser, then the summary;
// changed tells whether a byte of the dictionary changed (or would).
TEST(TreeJson, ReadsBackAsOneObjectAFileAndASummary) {
    Sandbox box;
    make_tree(box);
    const RunResult result = box.run_program(VDU_TREE, {"--json", "."});
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 1);
    const std::vector<nlohmann::json> lines = json_lines(result.out);
    ASSERT_EQ(lines.size(), 16U);
    EXPECT_EQ(lines[1]["installed"], false);
    EXPECT_EQ(lines[2], nlohmann::json::parse(R"({"type": "file", "path": "a/old.ejd",
        "result": "updated", "installed": true, "installed_version": "1", "update_version": "2",
        "changed": true, "error": null})"));
    EXPECT_EQ(lines[3]["error"], "cannot open the update: not a regular file");
    EXPECT_EQ(lines[3]["error_code"], "not_regular");
    EXPECT_EQ(lines[3]["changed"], false);
    EXPECT_EQ(lines[6]["path"], "bad\xef\xbf\xbd.txt");
    EXPECT_EQ(lines[6]["path_bytes"], nlohmann::json::array({98, 97, 100, 255, 46, 116, 120, 116}));
    EXPECT_EQ(lines[6]["update_version"], nullptr);
    EXPECT_EQ(lines[9]["path"], ODD_NAME);
    EXPECT_FALSE(lines[9].contains("path_bytes"));
    for (const std::size_t link : {8, 10}) // to a directory, to a file outside the tree
        EXPECT_EQ(lines[link]["error_code"], "symbolic_link");
    for (const std::size_t never_looked_up : {3, 10}) // a FIFO, a link
        EXPECT_EQ(lines[never_looked_up]["installed"], nullptr);
    EXPECT_EQ(lines[12]["error_code"], "not_readable_by_others");
    EXPECT_EQ(lines[15], nlohmann::json::parse(R"({"type": "summary", "files": 15, "added": 6,
        "updated": 1, "current": 1, "failed": 7, "excluded": 0, "changed": true,
        "dry_run": false, "signed": false, "key_id": null, "serial": null, "name": null})"));
    // Unversioned files holding the same bytes are current like the rest.
    const RunResult again = box.run_program(VDU_TREE, {"--json", "-q", "-n", "."});
    EXPECT_EQ(std::count(again.out.begin(), again.out.end(), '\n'), 8);
    EXPECT_TRUE(again.out.ends_with(
        R"({"type":"summary","files":15,"added":0,"updated":0,)"
        R"("current":8,"failed":7,"excluded":0,"changed":false,)"
        R"("dry_run":true,"signed":false,"key_id":null,"serial":null,"name":null})"
        "\n"));
    // A run whose only change is an update, and one that fails on a
    // read-only copy, named as the system names the error.
    Sandbox::put_installed("a/old.ejd", dictionary("VERSION 1"));
    EXPECT_EQ(json_lines(box.run_program(VDU_TREE, {"--json", "-q", "."}).out).back()["changed"],
              true);
    Sandbox::put_installed("a/old.ejd", dictionary("VERSION 1"));
    ASSERT_EQ(mount(nullptr, SHARE, nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    const std::vector<nlohmann::json> read_only =
        json_lines(box.run_program(VDU_TREE, {"--json", "-q", "."}).out);
    EXPECT_EQ(read_only[0]["path"], "a/old.ejd");
    EXPECT_EQ(read_only[0]["error_code"], "EROFS");
    EXPECT_EQ(read_only.back()["changed"], false);
}

using Updates = std::vector<std::pair<std::string, std::string>>;
using Prepare = void (*)(const Sandbox&);

// Scenarios that a tree brings to the installer: an update file each (path
// and plain content) and what stands in the dictionary before the run.
struct Scenario {
    const char* name;
    Updates updates;
    Prepare prepare; // the dictionary before the run, or nullptr
    RunOptions options;
    std::vector<std::string> args;
    std::string out;
    int status;
    bool dry_run_first; // which must print the same lines and change nothing; a failure then stays
    Prepare check = nullptr; // of the dictionary after the run
    friend void PrintTo(const Scenario& c, std::ostream* os) { *os << c.name; }
};

class TreeScenario : public ::testing::TestWithParam<Scenario> {};

// The run prints what it must, and the dictionary ends with every update
// installed whole, after a plain rerun where the run failed or was killed:
// an installed file that two updates name holds the later one.
TEST_P(TreeScenario, EndsWithEveryUpdateInstalledWhole) {
    const Scenario& c = GetParam();
#ifdef VDU_SANITIZED
    if (c.options.without_proc)
        GTEST_SKIP() << "the sanitizers' runtime needs /proc";
#endif
    Sandbox box;
    for (const auto& [path, plain] : c.updates)
        box.put_update(path, is_encoded_name(path) ? reference_encode(plain) : plain);
    if (c.prepare != nullptr)
        c.prepare(box);
    if (c.dry_run_first) {
        const auto before = dictionary_tree();
        std::vector<std::string> dry = c.args;
        dry.emplace_back("-n");
        expect_outcome(box.run_program(VDU_TREE, naming_the_tree(dry), c.options),
                       c.out.substr(0, c.out.size() - 1) + " (dry run)\n", c.status);
        EXPECT_EQ(dictionary_tree(), before);
    }
    const RunResult result = box.run_program(VDU_TREE, naming_the_tree(c.args), c.options);
    expect_outcome(result, c.out, c.status);
    if (c.check != nullptr)
        c.check(box);
    if (c.dry_run_first && c.status != 0)
        return;
    if (result.status != 0) {
        EXPECT_EQ(box.run_program(VDU_TREE, naming_the_tree(c.args)).status, 0);
    }
    std::set<ino_t> checked;
    for (auto update = c.updates.rbegin(); update != c.updates.rend(); ++update) {
        struct stat installed {};
        ASSERT_EQ(stat(Sandbox::installed_path(update->first).c_str(), &installed), 0);
        if (checked.insert(installed.st_ino).second) {
            EXPECT_TRUE(read_file(Sandbox::installed_path(update->first)) == update->second)
                << update->first;
        }
    }
}

// count updates of three blocks each, ten to a directory, named in byte order.
Updates many(unsigned count) {
    Updates updates;
    for (unsigned i = 0; i < count; ++i)
        updates.emplace_back(
            std::string("d").append(std::to_string(i / 10)) + "/f" + std::to_string(i % 10) +
                ".ejd",
            dictionary("VERSION 2", pseudo_random_bytes(std::size_t{3} * 8192, i)));
    return updates;
}

std::string lines_of(const Updates& updates, const std::string& word, const std::string& tail) {
    std::string out;
    for (const auto& [path, plain] : updates)
        out.append(word).append(" ").append(path).append(tail) += '\n';
    return out;
}

std::string summary(std::size_t files, std::size_t added, std::size_t updated, std::size_t failed) {
    return std::to_string(files) + (files == 1 ? " file: " : " files: ") + std::to_string(added) +
           " added, " + std::to_string(updated) + " updated, 0 current, " + std::to_string(failed) +
           " failed\n";
}

const Updates TWO = many(2);
const Updates FORTY = many(40);
const Updates ONE_NEW{{"new/words.ejd", NEW}};
const Updates TWO_HUNDRED = [] {
    Updates updates = many(200);
    std::sort(updates.begin(), updates.end()); // d1/ before d10/
    return updates;
}();
const std::string LATE = pseudo_random_bytes(300000, 5); // longer than one chunk of the copy

RunOptions with_umask(mode_t mask) {
    RunOptions options;
    options.umask = mask;
    return options;
}

// The system's own command, as an administrator would run it.
int shell(const std::string& command) {
    return std::system(command.c_str()); // NOLINT(cert-env33-c)
}

RunOptions file_size_limit(off_t bytes) {
    RunOptions options;
    options.file_size_limit = bytes;
    return options;
}

Scenario run(const char* name, const Updates& updates, Prepare prepare, RunOptions options,
             std::string out, int status, std::vector<std::string> args = {}) {
    return {name,           updates, prepare, std::move(options), std::move(args),
            std::move(out), status,  false};
}

// A dry run, then the real run, both printing out (with args; status 1 when
// a file fails).
Scenario dry_then_real(const char* name, Prepare prepare, const std::string& out,
                       Prepare check = nullptr, const Updates& updates = ONE_NEW,
                       std::vector<std::string> args = {}, RunOptions options = {}) {
    const int status = out.find("\nfailed") != std::string::npos || out.starts_with("failed");
    return {name, updates, prepare, std::move(options), std::move(args), out, status, true, check};
}

std::string one(const std::string& line) {
    const bool fails = line.starts_with("failed");
    const std::string current = "1 file: 0 added, 0 updated, 1 current, 0 failed\n";
    return line + (line.starts_with("current") ? current : summary(1, !fails, 0, fails));
}

// A run whose update tree has d/shadow.txt, and beside the tree a directory
// with another shadow.txt, for which faults swap d (or what swap names) at a
// chosen call: the line names the entry that turned out a link.
Scenario swapped(const char* name, const char* faults, const std::string& link = "d/shadow.txt",
                 const std::string& swap = "d=>../secret", bool without_proc = false) {
    RunOptions options = with(faults);
    options.environment.push_back("VDU_SWAP=" + swap);
    options.without_proc = without_proc;
    const auto secret = [](const Sandbox& box) {
        make_parents(box.scratch() + "/secret/");
        write_file(box.scratch() + "/secret/shadow.txt", "secret\n");
    };
    return run(name, {{"d/shadow.txt", "public\n"}}, secret, options,
               "failed " + link + ": a symbolic link\n" + summary(1, 0, 0, 1), 1);
}

void remount_read_only() {
    ASSERT_EQ(mount(nullptr, SHARE, nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
}

// new/words.ejd installed with contents, its flags set, on a file system
// made read-only when asked.
void put_copy(const std::string& contents, int flags = 0, bool read_only = false) {
    Sandbox::put_installed("new/words.ejd", contents);
    const int fd = open(Sandbox::installed_path("new/words.ejd").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(ioctl(fd, FS_IOC_SETFLAGS, &flags), 0);
    close(fd);
    if (read_only)
        remount_read_only();
}

void link_there(const char* target, const char* path) {
    make_parents(Sandbox::installed_path(path));
    ASSERT_EQ(symlink(target, Sandbox::installed_path(path).c_str()), 0);
}

const std::string TWO_FAIL = lines_of(TWO, "failed",
                                      ": writing the dictionary failed: "
                                      "Input/output error") +
                             summary(2, 0, 0, 2);
const std::string NEW_FAILED = "failed new/words.ejd: writing the dictionary failed: ";

void link_y_to_x(const Sandbox& /*box*/) {
    make_parents(Sandbox::installed_path("x/"));
    link_there("x", "y");
}

const Updates BIG{{"big.ejd", dictionary("VERSION 2", pseudo_random_bytes(600000, 9))}};

void put_old_big(const Sandbox& /*box*/) {
    Sandbox::put_installed("big.ejd", dictionary("VERSION 1"));
}

// The JSON lines of big.ejd failing over its old copy, with error.
std::string failed_over_a_copy(const std::string& error) {
    return R"({"type":"file","path":"big.ejd","result":"failed","installed":true,)"
           R"("installed_version":"1","update_version":"2","changed":true,"error":)" +
           error +
           "}\n"
           R"({"type":"summary","files":1,"added":0,"updated":0,"current":0,"failed":1,)"
           R"("excluded":0,"changed":true,"dry_run":false,"signed":false,"key_id":null,"serial":null,"name":null})"
           "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Tree, TreeScenario,
    ::testing::Values(
        // Two paths to one installed file end as two runs in byte order leave it.
        run(
            "AliasInsideTheDictionary",
            {{"alias/link.ejd", dictionary("VERSION 2", std::string(3000, 'l'))},
             {"alias/real.ejd", dictionary("VERSION 3", std::string(9000, 'r'))}},
            [](const Sandbox&) {
    Sandbox::put_installed("alias/real.ejd", dictionary("VERSION 1"));
    ASSERT_EQ(symlink("real.ejd", Sandbox::installed_path("alias/link.ejd").c_str()), 0);
            },
            {},
            "updated alias/link.ejd (1 -> 2)\nupdated alias/real.ejd (2 -> 3)\n" +
                summary(2, 0, 2, 0),
            0),
        // The gate reads the copy that two/b names only after two/a has
        // written it, in a dry run as in a real one.
        dry_then_real("AliasFoundBeforeTheGate",
                      [](const Sandbox&) {
    Sandbox::put_installed("two/a", dictionary("VERSION 5"));
    link_there("a", "two/b");
                      },
                      "updated two/a\nupdated two/b (3)\n" + summary(2, 0, 2, 0), nullptr,
                      {{"two/a", "headerless\n"}, {"two/b", dictionary("VERSION 3")}}),
        // The same bytes are current whatever the versions say: no header, or
        // --force; a copy that goes on past them is not the same.
        dry_then_real("HeaderlessRerun",
                      [](const Sandbox&) {
    Sandbox::put_installed("a.txt", "a\n"); },
                      one("current a.txt (same contents)\n"), nullptr, {{"a.txt", "a\n"}}),
        dry_then_real("LongerCopy",
                      [](const Sandbox&) {
    Sandbox::put_installed("a.txt", "a\nb\n"); },
                      "updated a.txt\n" + summary(1, 0, 1, 0), nullptr, {{"a.txt", "a\n"}}),
        dry_then_real("CopyThatDiffersOnlyInItsLastByte",
                      [](const Sandbox&) {
    std::string copy = LATE;
    copy.back() = static_cast<char>(~copy.back());
    Sandbox::put_installed("late.dic", copy);
                      },
                      "updated late.dic\n" + summary(1, 0, 1, 0), nullptr, {{"late.dic", LATE}}),
        // An update that others may not read, over a copy that all may read.
        dry_then_real(
            "PrivateUpdateOverAWorldReadableCopy",
            [](const Sandbox& box) {
    chmod(box.update_path("new/words.ejd").c_str(), 0600);
    put_copy(dictionary("VERSION 1"));
            },
            one("failed new/words.ejd: not readable by others\n")),
        // A private update goes only into a copy that root alone reads, and
        // nothing of it is read before that is known, not even its version.
        dry_then_real(
            "PrivateUpdateOverAGroupReadableCopy",
            [](const Sandbox& box) {
    chmod(box.update_path("new/words.ejd").c_str(), 0600);
    Sandbox::put_installed("new/words.ejd", dictionary("VERSION 1"), 0640);
            },
            one("failed new/words.ejd: not readable by others\n")),
        dry_then_real(
            "PrivateUpdateOverANewerCopy",
            [](const Sandbox& box) {
    chmod(box.update_path("new/words.ejd").c_str(), 0600);
    put_copy(dictionary("VERSION 3"));
            },
            one("failed new/words.ejd: not readable by others\n")),
        dry_then_real(
            "PrivateUpdateOverARootOnlyCopy",
            [](const Sandbox& box) {
    chmod(box.update_path("new/words.ejd").c_str(), 0600);
    Sandbox::put_installed("new/words.ejd", dictionary("VERSION 1"), 0600);
            },
            "updated new/words.ejd (1 -> 2)\n" + summary(1, 0, 1, 0)),
        dry_then_real(
            "PrivateUpdateUnderADefaultAcl",
            [](const Sandbox& box) {
    chmod(box.update_path("new/words.ejd").c_str(), 0600);
    make_parents(Sandbox::installed_path("new/"));
    ASSERT_EQ(shell("setfacl -d -m g::r " + Sandbox::installed_path("new")), 0);
            },
            one("failed new/words.ejd: not readable by others\n"), nullptr, ONE_NEW, {},
            with_umask(077)),
        dry_then_real(
            "PrivateUpdateIntoANewFileThatItsGroupMayRead",
            [](const Sandbox& box) {
    chmod(box.update_path("new/words.ejd").c_str(), 0600); },
            one("failed new/words.ejd: not readable by others\n"), nullptr, ONE_NEW, {},
            with_umask(027)),
        dry_then_real("UnderAFileSizeLimit", nullptr, one(NEW_FAILED + "File too large\n"), nullptr,
                      {{"new/words.ejd", dictionary("VERSION 2", std::string(5000, 'w'))}}, {},
                      file_size_limit(4096)),
        // A file that does not fit, then one that does, on one file system.
        dry_then_real(
            "SpaceForTheSecondFileAfterTheFirstFoundNone",
            [](const Sandbox&) {
    make_parents(Sandbox::installed_path("small/"));
    mount_scratch(Sandbox::installed_path("small").c_str(), "size=64k");
            },
            "failed small/a.dic: writing the dictionary failed: No space left on device\n"
            "added small/b.dic\n" +
                summary(2, 1, 0, 1),
            nullptr,
            {{"small/a.dic", pseudo_random_bytes(200000, 1)},
             {"small/b.dic", pseudo_random_bytes(10000, 2)}}),
        // Two paths to one installed file through root's link y -> x: a new
        // file, then one that already holds the second update's bytes.
        dry_then_real("TwoPathsToANewFile", link_y_to_x,
                      "added x/f.txt (1.0)\nupdated y/f.txt (1.0 -> 2.0)\n" + summary(2, 1, 1, 0),
                      nullptr,
                      {{"x/f.txt", dictionary("VERSION 1.0")}, {"y/f.txt", dictionary("VERSION 2.0")}}),
        dry_then_real("TwoPathsWithTheSameContents", link_y_to_x,
                      "added x/g.txt\ncurrent y/g.txt (same contents)\n"
                      "2 files: 1 added, 0 updated, 1 current, 0 failed\n",
                      nullptr, {{"x/g.txt", "same\n"}, {"y/g.txt", "same\n"}}),
        dry_then_real("ForcedRerun", [](const Sandbox&) {
    put_copy(NEW); },
                      one("current new/words.ejd (same contents)\n"), nullptr, ONE_NEW,
                      {"--force"}),
        // Patterns match names (the directory skip) and relative paths.
        dry_then_real(
            "Excluded",
            [](const Sandbox& box) {
    box.put_update("new/words.ejd~", "editor's copy\n");
    box.put_update("skip/x.ejd", "skipped\n");
    box.put_update("skip/y.ejd", "skipped with its directory, counted once\n");
    box.put_update("new/b/x.orig", "a * crosses /\n");
    box.put_update("top.txt", "only at the top\n");
    box.put_update("new/top.txt", "not at the top\n");
    box.put_update("dir/z.txt", "in a directory left out\n");
    box.put_update("new/dir", "a file of that name\n");
            },
            "added new/dir\nadded new/top.txt\nadded new/words.ejd (2)\n"
            "3 files: 3 added, 0 updated, 0 current, 0 failed, 5 excluded\n",
            [](const Sandbox&) {
    EXPECT_EQ(dictionary_tree().size(), 6U); }, ONE_NEW,
            {"--exclude=new/*~", "--exclude=skip", "--exclude=new/*.orig", "--exclude=/top.txt",
             "--exclude=dir/"}),
        // Two descriptors a file: 30 make batches of a few files, never failures.
        run("FewDescriptorsMakeSmallBatches", FORTY, nullptr, with("", 30),
            lines_of(FORTY, "added", " (2)") + summary(40, 40, 0, 0), 0),
        run("OneComponentWalkUnder64Descriptors", TWO_HUNDRED, nullptr,
            with("openat2@*=ENOSYS", 64),
            lines_of(TWO_HUNDRED, "added", " (2)") + summary(200, 200, 0, 0), 0),
        [] {
    // A soft limit below the hard one is raised.
    RunOptions options = with("", 5);
    options.open_files_soft_only = true;
    return run("LowSoftLimitIsRaised", TWO, nullptr, options,
               lines_of(TWO, "added", " (2)") + summary(2, 2, 0, 0), 0);
        }(),
        run("TwelveDescriptorsAreEnough", many(3), nullptr, with("", 12),
            lines_of(many(3), "added", " (2)") + summary(3, 3, 0, 0), 0),
        // A directory swapped for a link to one outside the tree after the
        // walk: the update is reached beneath the tree's top without
        // following a link, with openat2 or one component at a time.
        swapped("DirectorySwappedForALink", "openat2:*/updates/d/shadow.txt@1=swap"),
        swapped("DirectorySwappedForALinkWithoutOpenat2",
                "openat2@*=ENOSYS,openat2:*/updates/d/shadow.txt@1=swap"),
        swapped("DirectorySwappedForALinkDuringTheWalk", "openat2:*/updates/d@1=swap", "d"),
        swapped("FileSwappedForALinkWithoutOpenat2",
                "openat2@*=ENOSYS,openat2:*/updates/d/shadow.txt@1=swap",
                "d/shadow.txt", "d/shadow.txt=>../../secret/shadow.txt"),
        // Without /proc the file is opened by its path once more, and swapped before.
        swapped("FileSwappedForALinkWithoutProc", "openat2:update@1=swap", "d/shadow.txt",
                "d/shadow.txt=>../../secret/shadow.txt", true),
        [] {
    // Its open descriptors are then counted one by one.
    RunOptions options = with("", 12);
    options.without_proc = true;
    return run("WithoutProc", TWO, nullptr, options,
               lines_of(TWO, "added", " (2)") + summary(2, 2, 0, 0), 0);
        }(),
        // One syncfs a file system and step: the second fails the second's files alone.
        run(
            "BatchOverTwoFileSystems", {{"a.ejd", NEW}, {"other/b.ejd", NEW}},
            [](const Sandbox&) {
    make_parents(Sandbox::installed_path("other/"));
    mount_scratch(Sandbox::installed_path("other").c_str(), "mode=0755");
            },
            with("syncfs:installed@2=EIO"),
            "added a.ejd (2)\nfailed other/b.ejd: writing the dictionary failed: Input/output "
            "error\n" +
                summary(2, 1, 0, 1),
            1),
        // A batch ends once it holds 64 MiB: the third file is the next batch's.
        run("BatchesEndAt64MiB",
            {},
            [](const Sandbox& box) {
    for (const char name : {'a', 'b', 'c'})
        box.put_update(std::string(1, name) + ".dic", std::string(40 << 20, name));
            },
            with("syncfs:installed@4=EIO"),
            "added a.dic\nadded b.dic\nfailed c.dic: writing the dictionary failed: "
            "Input/output error\n" +
                summary(3, 2, 0, 1),
            1),
        // New files: one flush of their bytes, one of their names.
        run("FirstFlushFails", TWO, nullptr, with("syncfs:installed@1=EIO"), TWO_FAIL, 1),
        run("LastFlushFails", TWO, nullptr, with("syncfs:installed@2=EIO"), TWO_FAIL, 1),
        run("UpdateRewrittenInPlace", BIG, nullptr, with("read:update@2=rewrite"),
            "failed big.ejd: the update changed during the install\n" + summary(1, 0, 0, 1), 1),
        // Over a copy, the mark that a failure leaves is a change.
        run("UpdateRewrittenOverACopy", BIG, put_old_big, with("read:update@1=rewrite"),
            failed_over_a_copy(
                R"("the update changed during the install","error_code":"update_changed")"),
            1, {"--json", "-q"}),
        run("FlushFailsOverACopy", BIG, put_old_big, with("syncfs:installed@2=EIO"),
            failed_over_a_copy(
                R"("writing the dictionary failed: Input/output error","error_code":"EIO")"),
            1, {"--json", "-q"}),
        // A member too large for memory streams: a read of the archive that
        // fails in its bytes leaves the copy marked, a change.
        run("StreamedMemberFailsOverACopy", {},
            [](const Sandbox& box) {
    put_old_big(box);
    ASSERT_EQ(shell("cd " + box.updates() +
                    " && { printf 'NAME\\tbig\\nVERSION 2\\nDGD_END\\n'; head -c 70M "
                    "/dev/urandom; } > ../big && " VDU_ENCODER
                    " ../big big.ejd && tar -cf ../a.tar big.ejd && rm big.ejd"),
              0);
            },
            with("read:update@20=EIO"),
            failed_over_a_copy("\"the archive is damaged: Truncated input file (needed 68420608 "
                               "bytes, only 0 available)\",\"error_code\":\"damaged_archive\""),
            1, {"--json", "-q", "../a.tar"}),
        // A stopping signal waits for the batch's lines, then ends the run:
        // during its writes, or while its files are being opened and made.
        // A stopping signal stops the batch after the step it is in, its
        // lines printed; one that comes while files are opened ends the run
        // at once: no file has a name before its commit.
        run("TerminatedDuringTheBatch", TWO, nullptr, with("write:installed@3=term"),
            lines_of(TWO, "failed", ": stopped by a signal; the file is left for the next run"),
            -SIGTERM),
        run("TerminatedWhileTheBatchIsOpened", TWO_HUNDRED, nullptr,
            with("openat:installed@100=term"), "", -SIGTERM),
        // A failed new file is removed again: no change.
        run("NewFileThatFailsIsNoChange", BIG, nullptr, with("write:installed@2=EIO"),
            R"({"type":"file","path":"big.ejd","result":"failed","installed":false,)"
            R"("installed_version":null,"update_version":"2","changed":false,"error":)"
            R"("writing the dictionary failed: Input/output error","error_code":"EIO"})"
            "\n"
            R"({"type":"summary","files":1,"added":0,"updated":0,"current":0,"failed":1,)"
            R"("excluded":0,"changed":false,"dry_run":false,"signed":false,"key_id":null,"serial":null,"name":null})"
            "\n",
            1, {"--json", "-q"}),
        // --force installs whatever the versions say: a rollback.
        run("ForceRollsBack", TWO,
            [](const Sandbox&) {
    Sandbox::put_installed("d0/f0.ejd", dictionary("VERSION 3")); },
            {}, "updated d0/f0.ejd (3 -> 2)\nadded d0/f1.ejd (2)\n" + summary(2, 1, 1, 0), 0,
            {"--force"}),
        // A dry run prints the line of the real run in each of these states.
        dry_then_real(
            "FreshMachine", [](const Sandbox&) {
    remove_tree("/usr/local/share/vora"); },
            one("added new/words.ejd (2)\n")),
        dry_then_real("OnlyTheLastLevelMissing", nullptr, one("added new/words.ejd (2)\n")),
        dry_then_real(
            "FileInTheWay",
            [](const Sandbox&) {
    write_file(Sandbox::installed_path("new"), "file\n"); },
            one(NEW_FAILED + "Not a directory\n")),
        dry_then_real(
            "ReadOnlyFileSystem", [](const Sandbox&) {
    remount_read_only(); },
            one(NEW_FAILED + "Read-only file system\n")),
        dry_then_real(
            "OwnDirectoryOnAReadOnlyFileSystem",
            [](const Sandbox&) {
    make_parents(Sandbox::installed_path("new/"));
    remount_read_only();
            },
            one(NEW_FAILED + "Read-only file system\n")),
        dry_then_real(
            "CopyThatCannotBeWritten",
            [](const Sandbox&) {
    put_copy(dictionary("VERSION 1"), FS_IMMUTABLE_FL); },
            one(NEW_FAILED + "Operation not permitted\n")),
        dry_then_real(
            "AppendOnlyCopy",
            [](const Sandbox&) {
    put_copy(dictionary("VERSION 1"), FS_APPEND_FL); },
            one(NEW_FAILED + "Operation not permitted\n")),
        // The gate only reads, so a current copy is current wherever it lies.
        dry_then_real(
            "CurrentCopyOnAReadOnlyFileSystem",
            [](const Sandbox&) {
    put_copy(NEW, FS_IMMUTABLE_FL, true); },
            one("current new/words.ejd (2>=2)\n")),
        dry_then_real(
            "LevelThatIsALinkToNothing", [](const Sandbox&) {
    link_there("/nonexistent", "new"); },
            one(NEW_FAILED + "No such file or directory\n")),
        // Nothing is made through a link to nothing, though its directory exists.
        dry_then_real(
            "DestinationThatIsALinkToNothing",
            [](const Sandbox&) {
    make_parents(Sandbox::installed_path("elsewhere/"));
    link_there("../elsewhere/words.ejd", "new/words.ejd");
            },
            one(NEW_FAILED + "No such file or directory\n"),
            [](const Sandbox&) {
    EXPECT_TRUE(list_directory(Sandbox::installed_path("elsewhere")).empty());
            }),
        dry_then_real(
            "DestinationThatIsAFifo",
            [](const Sandbox&) {
    make_parents(Sandbox::installed_path("new/words.ejd"));
    ASSERT_EQ(mkfifo(Sandbox::installed_path("new/words.ejd").c_str(), 0644), 0);
            },
            one(NEW_FAILED + "not a regular file\n")),
        dry_then_real(
            "UpdateThatIsTheInstalledFile",
            [](const Sandbox& box) {
    make_parents(Sandbox::installed_path("new/words.ejd"));
    ASSERT_EQ(symlink(box.update_path("new/words.ejd").c_str(),
                      Sandbox::installed_path("new/words.ejd").c_str()),
              0);
            },
            one(NEW_FAILED + "the update is the installed file itself\n"))),
    [](const auto& info) {
    return std::string(info.param.name); });

// The output of a shell command.
std::string output_of(const std::string& command) {
    std::string out;
    // NOLINTNEXTLINE(cert-env33-c): tmux is driven as a user drives it
    if (FILE* pipe = popen(command.c_str(), "r")) {
        std::array<char, 4096> buffer{};
        for (std::size_t n = 0; (n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0;)
            out.append(buffer.data(), n);
        pclose(pipe);
    }
    return out;
}

// What the progress line runs over: one large file; 40 new files of 8 KiB;
// 40 such files, half current and half failing on a file-size limit.
enum class Over { large_file, small_files, current_and_failed };

struct ProgressCase {
    const char* name;
    const char* term;
    bool interrupted; // by Ctrl-C during the copy
    Over over = Over::large_file;
    const char* faults = "read@*=slow20"; // what slows the run down
    bool archive = false;                 // the tree packed by tar: counted by the archive's bytes
    friend void PrintTo(const ProgressCase& c, std::ostream* os) { *os << c.name; }
};

// One drawing of the line as the terminal received it: a carriage return,
// then, unless the terminal is dumb, the escape sequence that clears it.
struct Drawn {
    std::string text;     // as drawn, padding included
    bool cleared = false; // began with ESC [ K
};

class ProgressLine : public ::testing::TestWithParam<ProgressCase> {};

// The tree runs in a tmux pane whose every byte the test reads through a
// FIFO until the pane closes: the line moves with the bytes copied and the
// files done (equal files: the percentage keeps up with the files), is
// drawn whole over a longer one, takes no escape sequence where the
// terminal is dumb, and is erased at the end, a Ctrl-C's too.
TEST_P(ProgressLine, MovesWithTheBytesAndIsErased) {
    const ProgressCase& c = GetParam();
    Sandbox box;
    if (c.over == Over::large_file)
        box.put_update("big.dic", pseudo_random_bytes(std::size_t{16} << 20, 3));
    for (unsigned i = 0; c.over != Over::large_file && i < 40; ++i) {
        const std::string name = "s/f" + std::to_string(10 + i) + ".dic";
        box.put_update(name, dictionary("VERSION 2", pseudo_random_bytes(8192, i)));
        if (c.over == Over::current_and_failed)
            Sandbox::put_installed(name, dictionary(i % 2 == 0 ? "VERSION 3" : "VERSION 1"));
    }
    if (c.archive) {
        ASSERT_EQ(shell("tar -cf " + box.scratch() + "/a.tar -C " + box.updates() + " ."), 0);
    }
    const std::string raw_fifo = box.scratch() + "/raw";
    const std::string start_fifo = box.scratch() + "/start";
    ASSERT_EQ(mkfifo(raw_fifo.c_str(), 0600) | mkfifo(start_fifo.c_str(), 0600), 0);
    const std::string tmux = "tmux -S " + box.scratch() + "/tmux ";
    // The run starts once the test reads the pane. Interrupted, the lines go
    // to a file: only the signal's handler can then erase the line (a Ctrl-C
    // waits for the batch's lines).
    const std::string command =
        "read -r go <" + start_fifo + "; " +
        (c.over == Over::current_and_failed ? "ulimit -f 4; " : "") + "cd " + box.updates() +
        " && exec env TERM=" + c.term + " LD_PRELOAD=" + fault_injector() +
        " ASAN_OPTIONS=verify_asan_link_order=0 VDU_FAULTS=" + c.faults + " " + VDU_TREE + " " +
        (c.archive ? box.scratch() + "/a.tar" : ".") +
        (c.interrupted ? " >" + box.scratch() + "/out" : "");
    ASSERT_EQ(output_of(tmux + "new-session -d -s run -x 150 -y 10 '" + command + "' && " + tmux +
                        "pipe-pane -t run 'exec cat >" + raw_fifo + "' && echo started"),
              "started\n");
    FILE* raw = std::fopen(raw_fifo.c_str(), "rb");
    ASSERT_NE(raw, nullptr);
    write_file(start_fifo, "go\n");
    std::string stream;
    std::vector<Drawn> drawn;
    std::set<std::string> shown;
    for (int ch = 0; (ch = std::fgetc(raw)) != EOF;) {
        stream += static_cast<char>(ch);
        // A drawing ends where the next carriage return or line feed starts.
        if (ch != '\r' && ch != '\n')
            continue;
        const std::size_t begin = stream.rfind('\r', stream.size() - 2);
        const std::string text = begin == std::string::npos || stream.size() < 2
                                     ? ""
                                     : stream.substr(begin + 1, stream.size() - begin - 2);
        if (text.find(" files, ") == std::string::npos)
            continue;
        const bool cleared = text.starts_with("\x1b[K");
        drawn.push_back({cleared ? text.substr(3) : text, cleared});
        // The whole line (a Ctrl-C's echo may stand around it).
        static const std::regex FORM(
            R"((\d+)/?(\d*) files, (\d+)%, [\d.]+/[\d.]+ MiB, [\d.]+ MiB/s(, \d+:\d\d(:\d\d)? left)?( *)(\^C)?$)");
        std::smatch parts;
        ASSERT_TRUE(std::regex_search(drawn.back().text, parts, FORM)) << drawn.back().text;
        shown.insert(parts[1].str() + "/" + parts[3].str());
        ASSERT_EQ(parts[2].length() == 0, c.archive) << text; // an archive's files are unknown
        const std::size_t done = std::stoul(parts[1]);
        const std::size_t files = c.archive ? 1 : std::stoul(parts[2]);
        const std::size_t percent = std::stoul(parts[3]);
        EXPECT_GE(percent, c.archive ? 0 : done * 100 / files) << text;
        if (c.over != Over::large_file) {
            EXPECT_LE(percent, (done + 1) * 100 / files) << text;
        }
        if (c.interrupted && shown.size() == 2)
            output_of(tmux + "send-keys -t run C-c");
    }
    (void)std::fclose(raw);
    EXPECT_GE(shown.size(), c.interrupted ? 2U : 5U) << "the line stood still during the run";
    // Each drawing covers the one before (not the terminal's echo of a
    // Ctrl-C): cleared first, or padded to its width.
    const auto width = [](const std::string& text) {
        return text.size() - (text.ends_with("^C") ? 2 : 0);
    };
    for (std::size_t i = 0; i < drawn.size(); ++i) {
        EXPECT_EQ(drawn[i].cleared, std::string(c.term) != "dumb") << drawn[i].text;
        if (i > 0 && !drawn[i].cleared) {
            EXPECT_GE(width(drawn[i].text), width(drawn[i - 1].text)) << drawn[i].text;
        }
    }
    // Ctrl-C stops the copy after the chunk it is in, and ends the run once
    // the batch's line is out, before the summary.
    const char* last = c.over == Over::large_file    ? "added big.dic"
                       : c.over == Over::small_files ? "40 files: 40 added"
                                                     : "0 updated, 20 current, 20 failed";
    if (c.interrupted) {
        EXPECT_EQ(read_file(box.scratch() + "/out"),
                  "failed big.dic: stopped by a signal; the file is left for the next run\n");
    } else {
        EXPECT_NE(stream.find(last), std::string::npos) << stream;
    }
    // Erased after its last drawing, before anything else is printed.
    ASSERT_FALSE(drawn.empty());
    const std::size_t after = stream.rfind(drawn.back().text);
    const std::string rest = stream.substr(after + drawn.back().text.size());
    // A dumb terminal's line is covered with spaces, at least as wide as the line.
    static const std::regex ERASED(R"(^(\^C)?(\r\x1b\[K|\r( *)\r))");
    std::smatch erased;
    EXPECT_TRUE(std::regex_search(rest, erased, ERASED))
        << testing::PrintToString(rest.substr(0, 40));
    if (std::string(c.term) == "dumb" && !erased.empty()) {
        EXPECT_GE(erased[3].length(), static_cast<long>(width(drawn.back().text)));
    }
    EXPECT_EQ(stream.find('\x1b') != std::string::npos, std::string(c.term) != "dumb");
}

INSTANTIATE_TEST_SUITE_P(
    Tree, ProgressLine,
    ::testing::Values(
        ProgressCase{"OnATerminal", "xterm", false}, ProgressCase{"OnADumbTerminal", "dumb", false},
        ProgressCase{"Interrupted", "xterm", true},
        ProgressCase{"InterruptedOnADumbTerminal", "dumb", true},
        // The rate falls below 10 MiB/s: a shorter line over a longer one.
        ProgressCase{"ShorterLineOnADumbTerminal", "dumb", false, Over::large_file,
                     "read@6=slow1500,read@*=slow20"},
        ProgressCase{"ShorterLineOnATerminal", "xterm", false, Over::large_file,
                     "read@6=slow1500,read@*=slow20"},
        ProgressCase{"OverAnArchive", "xterm", false, Over::large_file, "read@*=slow20", true},
        ProgressCase{"OverSmallFiles", "xterm", false, Over::small_files, "read@*=slow60"},
        ProgressCase{"OverCurrentAndFailedFiles", "dumb", false, Over::current_and_failed,
                     "read@*=slow60"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
