#include "block_encoding.h"
#include "test_files.h"

#include <array>
#include <gtest/gtest.h>
#include <string>

namespace {

struct NameCase {
    const char* path;
    bool ejd;
    friend void PrintTo(const NameCase& c, std::ostream* os) { *os << c.path; }
};

class EjdName : public ::testing::TestWithParam<NameCase> {};

TEST_P(EjdName, OnlyLongerThanFourBytesEndingInLowerCaseEjd) {
    EXPECT_EQ(is_ejd_name(GetParam().path), GetParam().ejd) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(Paths, EjdName,
                         ::testing::Values(NameCase{"x.ejd", true},
                                           NameCase{"dict/sub/words.ejd", true},
                                           NameCase{"/tmp/a.b.ejd", true}, NameCase{"a/.ejd", true},
                                           NameCase{".ejd", false}, NameCase{"x.EJD", false},
                                           NameCase{"x.Ejd", false}, NameCase{"x.ejd~", false},
                                           NameCase{"x.ejdx", false}, NameCase{"ejd", false},
                                           NameCase{"", false}, NameCase{"x.ej", false}));

using Decoder = void (*)(const unsigned char*, ssize_t, unsigned char*);

// Both paths of the transform must meet the same definition.
class DecodeBlock : public ::testing::TestWithParam<Decoder> {
  protected:
    [[nodiscard]] static std::string decode(const std::string& in, ssize_t n) {
        std::array<unsigned char, BLOCK_SIZE> out{};
        out.fill(0x5a);
        GetParam()(reinterpret_cast<const unsigned char*>(in.data()), n, out.data());
        return {reinterpret_cast<const char*>(out.data()), out.size()};
    }
};

INSTANTIATE_TEST_SUITE_P(Paths, DecodeBlock,
                         ::testing::Values(&decode_block, &decode_block_portable),
                         [](const auto& info) {
                             return std::string(info.index == 0 ? "Dispatched" : "Portable");
                         });

TEST_P(DecodeBlock, ReversesAndComplements) {
    EXPECT_EQ(decode("abc", 3).substr(0, 4), "\x9c\x9d\x9e\x5a");
    EXPECT_EQ(decode(std::string(1, '\0'), 1).substr(0, 2), "\xff\x5a");
}

TEST_P(DecodeBlock, CountOfZeroOrLessLeavesTheOutputUntouched) {
    for (const ssize_t n : {0, -1, -8192}) {
        EXPECT_EQ(decode("abc", n), std::string(BLOCK_SIZE, '\x5a')) << n;
    }
}

// Every length from 0 to a whole block, so every tail length and alignment
// of the word-wise path is compared with the definition.
TEST_P(DecodeBlock, MatchesTheDefinitionForEveryLength) {
    const std::string input = testing_support::pseudo_random_bytes(BLOCK_SIZE, 11);
    for (std::size_t n = 0; n <= BLOCK_SIZE; ++n) {
        const std::string out = decode(input, static_cast<ssize_t>(n));
        std::string expected(BLOCK_SIZE, '\x5a');
        for (std::size_t i = 0; i < n; ++i)
            expected[i] = static_cast<char>(~input[n - 1 - i]);
        ASSERT_EQ(out, expected) << "n = " << n;
    }
}

TEST_P(DecodeBlock, DecodingTwiceGivesTheInputBack) {
    const std::string input = testing_support::pseudo_random_bytes(BLOCK_SIZE, 12);
    for (const ssize_t n : {1, 7, 8, 9, 4095, 8191, 8192}) {
        const std::string once = decode(input, n);
        EXPECT_EQ(decode(once, n).substr(0, static_cast<std::size_t>(n)),
                  input.substr(0, static_cast<std::size_t>(n)))
            << n;
    }
}

} // namespace
