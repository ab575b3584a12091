// Runs that are refused before anything is read or written.
#include "expected_messages.h"
#include "run_checks.h"
#include "sandbox.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

constexpr uid_t NOBODY = 65534;

struct RefusalCase {
    const char* name;
    std::vector<std::string> args;
    RunOptions options;
    std::string expected_out;
    friend void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }
};

class Refusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, PrintsOneLineAndTouchesNothing) {
    const RefusalCase& c = GetParam();
    Sandbox box;
    box.put_update("sub/words.ejd", reference_encode(dictionary("VERSION 1.0")));
    write_file(box.scratch() + "/secret", "secret\n", 0640);
    ASSERT_EQ(symlink("../../secret", box.update_path("sub/private.ejd").c_str()), 0);
    const RunResult result = c.options.real_uid
                                 ? box.run_program(box.world_executable_tool(), c.args, c.options)
                                 : box.run(c.args, c.options);
    expect_failure(result, c.expected_out);
    EXPECT_TRUE(list_directory(DICTIONARY).empty());
}

RunOptions as_user(uid_t real, std::optional<uid_t> effective = std::nullopt) {
    RunOptions options;
    options.real_uid = real;
    options.effective_uid = effective;
    return options;
}

RunOptions invoked_as(const std::string& argv0) {
    RunOptions options;
    options.argv0 = argv0;
    return options;
}

const std::string LONGEST_ARGUMENT_PLUS_ONE = std::string(200, 'a') + "/" + std::string(200, 'b') +
                                              "/" + std::string(200, 'c') + "/" +
                                              std::string(200, 'd') + "/" + std::string(187, 'e');

INSTANTIATE_TEST_SUITE_P(
    Install, Refusal,
    ::testing::Values(
        RefusalCase{"OrdinaryUserWithoutArgument", {}, as_user(NOBODY), need_root()},
        RefusalCase{"OrdinaryUserWithUpdate", {"sub/words.ejd"}, as_user(NOBODY), need_root()},
        RefusalCase{"OrdinaryUserWithTwoArguments", {"a", "b"}, as_user(NOBODY), need_root()},
        RefusalCase{
            "RealUserOrdinaryEffectiveRoot", {"sub/words.ejd"}, as_user(NOBODY, 0), need_root()},
        RefusalCase{
            "RootWithoutArgument", {}, invoked_as("./bin/odd name"), usage("./bin/odd name")},
        RefusalCase{"RootWithTwoArguments",
                    {"sub/words.ejd", "sub/words.ejd"},
                    invoked_as("vora-dict-update"),
                    usage("vora-dict-update")},
        // --help is an answer only as the only argument.
        RefusalCase{"HelpWithAnotherArgument",
                    {"--help", "sub/words.ejd"},
                    invoked_as("vora-dict-update"),
                    usage("vora-dict-update")},
        RefusalCase{
            "ArgumentTooLongForTheDestination", {LONGEST_ARGUMENT_PLUS_ONE}, {}, write_failed()},
        // Nothing is made above the dictionary root; a climb that stays below is a path.
        RefusalCase{"ArgumentThatLeavesTheRoot", {"../words.ejd"}, {}, write_failed()},
        RefusalCase{"ArgumentThatClimbsTwice", {"sub/../../sub/words.ejd"}, {}, write_failed()},
        // A file that others may not read, through a link in the owner's tree.
        RefusalCase{"PrivateUpdateThroughALink", {"sub/private.ejd"}, {}, cannot_open_update()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ArgumentLength, LongestArgumentThatFitsIsUsed) {
    Sandbox box;
    const std::string longest = LONGEST_ARGUMENT_PLUS_ONE.substr(1);
    ASSERT_EQ(longest.size(), 990U);
    ASSERT_EQ(LONGEST_ARGUMENT_PLUS_ONE.size(), 991U);
    // No such update exists, so the run gets as far as opening it.
    const RunResult result = box.run({longest});
    expect_failure(result, cannot_open_update());
}

// Who owns each entry on the way to the update: the current directory
// (the tree's top), base, and base/words.txt, which is a file or a link.
struct OwnerCase {
    const char* name;
    uid_t top;
    uid_t base;
    uid_t entry;
    const char* link; // where base/words.txt leads (PRIVATE: a 0644 file in root's 0700 directory)
    bool installs;
    friend void PrintTo(const OwnerCase& c, std::ostream* os) { *os << c.name; }
};

class OwnersOnTheWay : public ::testing::TestWithParam<OwnerCase> {};

// The single tool never lets another user's entry lead root somewhere
// else: a step from an entry that a user other than root owns to an entry
// of another owner (a link to an absolute path steps to "/") is refused.
TEST_P(OwnersOnTheWay, AnotherUsersEntryNeverLeadsRootElsewhere) {
    const OwnerCase& c = GetParam();
    Sandbox box;
    const std::string contents = dictionary("VERSION 1", "entries\n");
    make_parents(box.scratch() + "/private/");
    ASSERT_EQ(chmod((box.scratch() + "/private").c_str(), 0700), 0);
    write_file(box.scratch() + "/private/notes.txt", contents, 0644);
    box.put_update("base/real.txt", contents);
    const std::string entry = box.update_path("base/words.txt");
    const std::string_view link = c.link != nullptr ? c.link : "";
    const std::string target =
        link == "PRIVATE" ? box.scratch() + "/private/notes.txt" : std::string(link);
    if (c.link == nullptr)
        write_file(entry, contents);
    else
        ASSERT_EQ(symlink(target.c_str(), entry.c_str()), 0);
    for (const auto& [path, owner] :
         {std::pair{box.update_path("base/real.txt"), c.entry}, std::pair{entry, c.entry},
          std::pair{box.update_path("base"), c.base}, std::pair{box.updates(), c.top}})
        ASSERT_EQ(lchown(path.c_str(), owner, owner), 0);
    const RunResult result = box.run({"base/words.txt"});
    if (c.installs) {
        expect_success(result, added("words.txt"));
        EXPECT_EQ(read_file(Sandbox::installed_path("base/words.txt")), contents);
    } else {
        expect_failure(result, cannot_open_update());
        EXPECT_TRUE(list_directory(DICTIONARY).empty());
    }
}

constexpr uid_t ALICE = 1000;
constexpr uid_t BOB = 1001;

INSTANTIATE_TEST_SUITE_P(
    Install, OwnersOnTheWay,
    ::testing::Values(
        OwnerCase{"NobodysLinkIntoRootsPrivateDirectory", NOBODY, NOBODY, NOBODY, "PRIVATE", false},
        OwnerCase{"RelativeLinkInsideOneUsersTree", NOBODY, NOBODY, NOBODY, "real.txt", true},
        OwnerCase{"RootsOwnTreeWithLinks", 0, 0, 0, "PRIVATE", true},
        OwnerCase{"AlicesDirectoryHoldingBobsFile", ALICE, ALICE, BOB, nullptr, false},
        OwnerCase{"RootsFileInAlicesDirectory", 0, ALICE, 0, nullptr, false}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
