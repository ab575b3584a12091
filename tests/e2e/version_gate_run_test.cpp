// Whole runs decided by the version gate: skipped when the installed copy is
// at least as new as the update, installed otherwise.
#include "expected_messages.h"
#include "run_checks.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace testing_support;

namespace {

struct GateCase {
    const char* name;
    std::string installed_header; // the installed copy's version line
    std::string update_header;    // the update's version line
    const char* update_name;      // the update's path, relative
    bool encode_update;           // store the update in its ejd form
    bool current;                 // expected: skipped as already current
    const char* installed_text;   // shown when current
    const char* update_text;
    friend void PrintTo(const GateCase& c, std::ostream* os) { *os << c.name; }
};

class GateRun : public ::testing::TestWithParam<GateCase> {};

TEST_P(GateRun, SkipsOrInstalls) {
    const GateCase& c = GetParam();
    Sandbox box;
    const std::string installed = dictionary(c.installed_header, "old entries\n");
    const std::string update_plain = dictionary(c.update_header, "new entries\n");
    const std::string update_stored =
        c.encode_update ? reference_encode(update_plain) : update_plain;
    Sandbox::put_installed(c.update_name, installed, 0640);
    box.put_update(c.update_name, update_stored);
    const std::string destination = Sandbox::installed_path(c.update_name);
    struct stat before {};
    ASSERT_EQ(stat(destination.c_str(), &before), 0);

    const RunResult result = box.run({c.update_name});
    const std::string name = destination.substr(destination.rfind('/') + 1);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    if (c.current) {
        EXPECT_EQ(result.out, already_current(name, c.installed_text, c.update_text));
        EXPECT_EQ(read_file(destination), installed);
        struct stat after {};
        ASSERT_EQ(stat(destination.c_str(), &after), 0);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    } else {
        EXPECT_EQ(result.out, updated(name));
        const bool decoded = is_encoded_name(c.update_name);
        EXPECT_EQ(read_file(destination), decoded ? update_plain : update_stored);
        EXPECT_EQ(mode_of(destination), 0640U);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Install, GateRun,
    ::testing::Values(GateCase{"NewerInstalledByJoinedDigits", "VERSION 1.10", "VERSION 1.9",
                               "d/words.ejd", true, true, "1.10", "1.9"},
                      GateCase{"OlderInstalledByJoinedDigits", "VERSION 2.0", "VERSION 1.10",
                               "d/words.ejd", true, false, "", ""},
                      GateCase{"EqualVersions", "VERSION 1.2", "VERSION 1.2", "words.ejd", true,
                               true, "1.2", "1.2"},
                      GateCase{"DifferentTextsSameDigits", "VERSION\t1.02", "VERSION 10.2",
                               "d/words.ejd", true, true, "1.02", "10.2"},
                      GateCase{"KeyGluedToToken", "XVERSION3.2 trailing", "VERSION .5\r",
                               "d/words.ejd", true, true, "3.2", ".5"},
                      GateCase{"PlainUpdateSearchedAsIs", "VERSION 3", "VERSION 2", "d/words.dic",
                               false, true, "3", "2"},
                      GateCase{"EncodedContentUnderPlainName", "VERSION 3", "VERSION 2",
                               "d/words.dic", true, false, "", ""},
                      GateCase{"UpperCaseSuffixIsNotDecoded", "VERSION 3", "VERSION 2",
                               "d/words.EJD", true, false, "", ""},
                      GateCase{"InstalledWithoutVersion", "COMMENT none", "VERSION 1",
                               "d/words.ejd", true, false, "", ""},
                      GateCase{"InstalledVersionZero", "VERSION 0.0", "VERSION 1", "d/words.ejd",
                               true, false, "", ""},
                      GateCase{"InstalledKeyWithEqualsSign", "VERSION=5", "VERSION 1",
                               "d/words.ejd", true, false, "", ""},
                      GateCase{"UpdateWithoutVersion", "VERSION 5", "COMMENT none", "d/words.ejd",
                               true, false, "", ""},
                      GateCase{"UpdateVersionZero", "VERSION 5", "VERSION 00", "d/words.ejd", true,
                               false, "", ""},
                      GateCase{"LongestTokenFits", "VERSION 9999999999999999999",
                               "VERSION 9999999999999999998", "d/words.ejd", true, true,
                               "9999999999999999999", "9999999999999999998"},
                      GateCase{"DatedVersionsBeyond32Bits", "VERSION 2026.12.08.1530",
                               "VERSION 2026.12.09.0900", "d/words.ejd", true, false, "", ""},
                      GateCase{"OlderDatedUpdateBeyond32Bits", "VERSION 2026.12.09.0900",
                               "VERSION 2026.12.08.1530", "d/words.ejd", true, true,
                               "2026.12.09.0900", "2026.12.08.1530"},
                      GateCase{"TokenTooLongIsNoVersion", "VERSION 99999999999999999999",
                               "VERSION 1", "d/words.ejd", true, false, "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GateRun, SameUpdateTwiceIsSkippedTheSecondTime) {
    Sandbox box;
    const std::string plain = dictionary("VERSION 1.2", "entry\n");
    box.put_update("sub/words.ejd", reference_encode(plain));
    const RunResult first = box.run({"sub/words.ejd"});
    expect_success(first, added("words.ejd"));
    const RunResult second = box.run({"sub/words.ejd"});
    expect_success(second, already_current("words.ejd", "1.2", "1.2"));
    EXPECT_EQ(read_file(Sandbox::installed_path("sub/words.ejd")), plain);
    // Without a version, the same bytes are installed again every time.
    box.put_update("sub/list.txt", "headerless\n");
    expect_success(box.run({"sub/list.txt"}), added("list.txt"));
    expect_success(box.run({"sub/list.txt"}), updated("list.txt"));
}

TEST(GateRun, TheUpdateNamedDotEjdIsSearchedUndecodedButCopiedDecoded) {
    Sandbox box;
    // The installed copy is newer, but the gate finds no key in the encoded
    // update, whose own name is too short to count as an ejd name.
    Sandbox::put_installed(".ejd", dictionary("VERSION 9.9"));
    const std::string plain = dictionary("VERSION 1.0", "entry\n");
    box.put_update(".ejd", reference_encode(plain));
    const RunResult result = box.run({".ejd"});
    expect_success(result, updated(".ejd"));
    EXPECT_EQ(read_file(Sandbox::installed_path(".ejd")), plain);
}

} // namespace
