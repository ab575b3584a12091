// vora-ejd-encode, and the sample update tree that it made.
#include "expected_messages.h"
#include "run_checks.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace testing_support;

namespace {

RunResult encode(const ScratchDir& dir, const std::vector<std::string>& args,
                 const RunOptions& options = {}) {
    return run_process(VDU_ENCODER, args, options, dir.path(), dir.path());
}

TEST(EjdEncode, RoundTripsThroughTheEjdForm) {
    const ScratchDir dir;
    const std::string plain = pseudo_random_bytes(3 * 8192 + 4321, 21);
    write_file(dir / "plain", plain);
    const RunResult there = encode(dir, {"plain", "encoded.ejd"});
    EXPECT_EQ(there.status, 0);
    EXPECT_EQ(there.out + there.err, "");
    EXPECT_TRUE(read_file(dir / "encoded.ejd") == reference_encode(plain));
    const RunResult back = encode(dir, {"encoded.ejd", "again"});
    EXPECT_EQ(back.status, 0);
    EXPECT_TRUE(read_file(dir / "again") == plain);
    // As a filter: "-" for the streams, "--" before a name like an option.
    write_file(dir / "-n", plain);
    RunOptions options;
    options.stdin_from = dir / "encoded.ejd";
    const RunResult piped = encode(dir, {"--", "-", "-"}, options);
    EXPECT_EQ(piped.status, 0);
    EXPECT_TRUE(piped.out == plain);
    EXPECT_EQ(encode(dir, {"--", "-n", "-"}).out, reference_encode(plain));
    EXPECT_FALSE(exists(dir / "-"));
}

// Every program names itself and the package's version, whoever asks.
TEST(Programs, PrintTheirVersion) {
    const Sandbox box;
    for (const std::string& program : {tool(), std::string(VDU_TREE), std::string(VDU_ENCODER)}) {
        RunOptions options;
        options.real_uid = 65534;
        const RunResult result =
            box.run_program(box.world_executable_tool(program), {"--version"}, options);
        const std::string name = program.substr(program.rfind('/') + 1);
        EXPECT_EQ(result.out, name + " (vora-dict-update) " VDU_VERSION "\n");
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
    }
}

// And its usage, on standard output, as the only argument.
TEST(Programs, PrintTheirUsage) {
    const Sandbox box;
    for (const std::string& program :
         {tool(), std::string(VDU_TREE), std::string(VDU_ENCODER), std::string(VDU_MANIFEST)}) {
        RunOptions options;
        options.real_uid = 65534;
        const RunResult result =
            box.run_program(box.world_executable_tool(program), {"--help"}, options);
        const std::string name = program.substr(program.rfind('/') + 1);
        EXPECT_EQ(result.out.rfind("Usage: " + name + " ", 0), 0U) << result.out;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
    }
}

TEST(EjdEncode, HelpGoesToStandardOutput) {
    const ScratchDir dir;
    for (const char* flag : {"-h", "--help"}) {
        const RunResult result = encode(dir, {flag});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out.rfind("Usage: vora-ejd-encode INPUT OUTPUT\n", 0), 0U);
        EXPECT_EQ(result.err, "");
    }
}

struct EncodeErrorCase {
    const char* name;
    std::vector<std::string> args;
    std::string err_prefix;
    friend void PrintTo(const EncodeErrorCase& c, std::ostream* os) { *os << c.name; }
};

class EjdEncodeError : public ::testing::TestWithParam<EncodeErrorCase> {};

TEST_P(EjdEncodeError, ReportsOnStandardErrorWithStatus1) {
    const ScratchDir dir;
    write_file(dir / "input", "data");
    mkdir((dir / "folder").c_str(), 0755);
    const RunResult result = encode(dir, GetParam().args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.substr(0, GetParam().err_prefix.size()), GetParam().err_prefix);
    EXPECT_EQ(read_file(dir / "input"), "data");
}

INSTANTIATE_TEST_SUITE_P(
    Errors, EjdEncodeError,
    ::testing::Values(
        EncodeErrorCase{"NoArguments", {}, "Usage: vora-ejd-encode INPUT OUTPUT\n"},
        EncodeErrorCase{"OneArgument", {"input"}, "Usage: vora-ejd-encode INPUT OUTPUT\n"},
        EncodeErrorCase{"UnknownOption",
                        {"--bogus", "input", "out"},
                        "vora-ejd-encode: unknown option '--bogus' (see --help)\n"},
        EncodeErrorCase{"UnknownLetter",
                        {"-x", "input", "out"},
                        "vora-ejd-encode: unknown option '-x' (see --help)\n"},
        EncodeErrorCase{"MissingInput",
                        {"absent", "out"},
                        "vora-ejd-encode: absent: No such file or directory\n"},
        EncodeErrorCase{
            "InputIsADirectory", {"folder", "out"}, "vora-ejd-encode: folder: Is a directory\n"},
        EncodeErrorCase{"OutputInAMissingDirectory",
                        {"input", "none/out"},
                        "vora-ejd-encode: none/out: No such file or directory\n"},
        EncodeErrorCase{"OutputIsTheInput",
                        {"input", "./input"},
                        "vora-ejd-encode: input and ./input are the same file\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SampleTree, IsTheEjdFormOfTheSampleDictionary) {
    const ScratchDir dir;
    const std::string source = std::string(VDU_SOURCE_DIR) + "/sample/words.txt";
    const RunResult result = encode(dir, {source, "words.ejd"});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(read_file(dir / "words.ejd") ==
                read_file(std::string(VDU_SOURCE_DIR) + "/sample/update/base/words.ejd"));
}

TEST(SampleTree, InstallsAsThePlainDictionaryThenIsCurrent) {
    Sandbox box;
    box.put_update("base/words.ejd",
                   read_file(std::string(VDU_SOURCE_DIR) + "/sample/update/base/words.ejd"));
    const RunResult first = box.run({"base/words.ejd"});
    expect_success(first, added("words.ejd"));
    EXPECT_TRUE(read_file(Sandbox::installed_path("base/words.ejd")) ==
                read_file(std::string(VDU_SOURCE_DIR) + "/sample/words.txt"));
    const RunResult second = box.run({"base/words.ejd"});
    expect_success(second, already_current("words.ejd", "1.03", "1.03"));
}

} // namespace
