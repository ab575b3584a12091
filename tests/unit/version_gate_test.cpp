#include "block_encoding.h"
#include "header_keys.h"
#include "scan_in_memory.h"
#include "test_files.h"
#include "version_gate.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct TokenCase {
    std::string after_key;
    const char* text;
    const char* digits;
    VersionValue value;
    friend void PrintTo(const TokenCase& c, std::ostream* os) { *os << c.after_key; }
};

class Token : public ::testing::TestWithParam<TokenCase> {};

TEST_P(Token, ReadsDigitsAndFullStopsBehindBlanks) {
    const TokenCase& c = GetParam();
    VersionText text;
    text.fill('#');
    std::array<char, VERSION_DIGITS_SIZE> digits{};
    digits.fill('#');
    EXPECT_EQ(parse_version_token(c.after_key, text, digits), c.value);
    EXPECT_STREQ(text.data(), c.text);
    EXPECT_STREQ(digits.data(), c.digits);
}

INSTANTIATE_TEST_SUITE_P(
    VersionTokens, Token,
    ::testing::Values(
        TokenCase{" 1.05", "1.05", "105", 105}, TokenCase{"\t \t2.1 x", "2.1", "21", 21},
        TokenCase{" 1.10", "1.10", "110", 110}, TokenCase{"3.2", "3.2", "32", 32},
        TokenCase{".5", ".5", "5", 5}, TokenCase{" 007", "007", "007", 7},
        TokenCase{" 1.2\r\n", "1.2", "12", 12}, TokenCase{" 1.2 # note", "1.2", "12", 12},
        TokenCase{"=1.5", "", "", 0}, TokenCase{"S 3", "", "", 0}, TokenCase{"", "", "", 0},
        TokenCase{"   ", "", "", 0}, TokenCase{" 0.0", "0.0", "00", 0},
        TokenCase{"...", "...", "", 0}, TokenCase{"\v1", "", "", 0}, TokenCase{" \n1", "", "", 0},
        TokenCase{" \xb1\xb2", "", "", 0}, TokenCase{" \xef\xbc\x91", "", "", 0},
        TokenCase{" 2147483647", "2147483647", "2147483647", 2147483647},
        TokenCase{" 2147483648", "2147483648", "2147483648", 2147483648},
        TokenCase{" 1.0.0.0.0.0.0.0.0.0", "1.0.0.0.0.0.0.0.0.0", "1000000000", 1000000000},
        TokenCase{" 9999999999999999999", "9999999999999999999", "9999999999999999999",
                  9999999999999999999U},
        TokenCase{" 2026.12.09.0900", "2026.12.09.0900", "202612090900", 202612090900},
        TokenCase{" 1.0.0.0.0.0.0.0.0.0.", "", "", 0},
        TokenCase{" 99999999999999999999", "", "", 0},
        TokenCase{std::string(300, '9'), "", "", 0}));

class KeySearchLoop : public ::testing::TestWithParam<KeySearch> {};

// Each compiled loop that this processor runs finds the first key wherever it
// lies: every start within and around the widest vector, each key, texts
// of every length up to three vectors, with a near miss before the key.
TEST_P(KeySearchLoop, FindsTheFirstKeyAtEveryOffset) {
    if (!key_search_runs_here(GetParam()))
        GTEST_SKIP() << "this processor does not run it";
    for (const std::string_view key : {VERSION_KEY, HEADER_END_KEY}) {
        for (std::size_t size = 0; size <= 96; ++size) {
            for (std::size_t at = 0; at + key.size() <= size; ++at) {
                std::string text(size, 'x');
                text.replace(at, key.size(), key);
                if (at >= 7)
                    text.replace(at - 7, 6, std::string(key.substr(0, 6)));
                ASSERT_EQ(find_header_key_with(GetParam(), text), at) << key << " " << size;
            }
            ASSERT_EQ(find_header_key_with(GetParam(), std::string(size, 'V')), size);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Loops, KeySearchLoop, ::testing::Values(KeySearch::bytewise, KeySearch::sse2, KeySearch::avx2),
    [](const auto& info) {
        return std::string(info.index == 0 ? "Bytewise" : info.index == 1 ? "Sse2" : "Avx2");
    });

struct HeaderCase {
    const char* name;
    std::string content;
    VersionValue value;
    const char* text;
    friend void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.name; }
};

class InstalledHeader : public ::testing::TestWithParam<HeaderCase> {};

// Each header is read through buffers of several sizes, the smallest one a
// line buffer, so that keys and tokens also fall across the chunks read.
TEST_P(InstalledHeader, ScansAsLinesWhateverTheChunks) {
    const HeaderCase& c = GetParam();
    for (const std::size_t chunk :
         {HEADER_LINE_SIZE, HEADER_LINE_SIZE + 1000, 64 * HEADER_LINE_SIZE}) {
        SCOPED_TRACE(chunk);
        VersionText text{};
        EXPECT_EQ(scan_in_memory(c.content, chunk, text), c.value);
        EXPECT_STREQ(text.data(), c.text);
    }
}

// n lines of 99 bytes each with its line feed.
std::string lines(std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i)
        text += std::string(99, 'x') + "\n";
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, InstalledHeader,
    ::testing::Values(
        HeaderCase{"FirstLine", "VERSION 1.2\n", 12, "1.2"},
        HeaderCase{"InsideHeader", "NAME x\nVERSION 1.2\nDGD_END\nVERSION 9\n", 12, "1.2"},
        HeaderCase{"NoNewlineAtEnd", "NAME x\nVERSION 4", 4, "4"},
        HeaderCase{"EndBeforeVersion", "NAME x\nDGD_END\nVERSION 1.2\n", 0, ""},
        HeaderCase{"EndInsideALine", "x DGD_END y\nVERSION 1.2\n", 0, ""},
        HeaderCase{"FirstKeyLineEndsScanEvenWhenEmpty", "VERSION\nVERSION 2\n", 0, ""},
        HeaderCase{"BothKeysInOneLine", "DGD_END VERSION 3\n", 3, "3"},
        HeaderCase{"KeyInsideAWord", "XVERSIONS 3\nVERSION 4\n", 0, ""},
        HeaderCase{"ZeroByteHidesTheRestOfTheLine", std::string("X\0VERSION 3\nVERSION 5\n", 22), 5,
                   "5"},
        HeaderCase{"LongLineArrivesInPieces", std::string(2047, 'x') + "VERSION 3\n", 3, "3"},
        HeaderCase{"KeySplitAcrossPiecesIsMissed",
                   std::string(2045, 'x') + "VERSION 3\nVERSION 6\n", 6, "6"},
        HeaderCase{"TokenCutAtTheEndOfAPiece", std::string(2037, 'x') + "VERSION 1234\n", 12, "12"},
        HeaderCase{"KeyEndingAPieceHasNoToken",
                   std::string(2040, 'x') + "VERSION 12345\nVERSION 9\n", 0, ""},
        HeaderCase{"Empty", "", 0, ""}, HeaderCase{"NoKeyAtAll", "a\nb\nc\n", 0, ""},
        HeaderCase{"KeyAcrossAChunkEnd", lines(20) + std::string(44, 'x') + "VERSION 8\n", 8, "8"},
        HeaderCase{"TokenAcrossAChunkEnd", lines(20) + std::string(37, 'x') + "VERSION 12345\n",
                   12345, "12345"},
        HeaderCase{"EndAcrossAChunkEnd", lines(20) + std::string(44, 'x') + "DGD_END\nVERSION 8\n",
                   0, ""},
        HeaderCase{"ZeroByteInTheChunkBefore",
                   lines(20) + std::string("x\0", 2) + std::string(42, 'x') +
                       "VERSION 8\nVERSION 9\n",
                   9, "9"},
        HeaderCase{"KeyStartingTheThirdPiece",
                   std::string(std::size_t{2} * 2047, 'x') + "VERSION 6\n", 6, "6"},
        HeaderCase{"KeyAcrossTheSecondPieceEnd",
                   std::string(std::size_t{2} * 2047 - 3, 'x') + "VERSION 6\nVERSION 7\n", 7, "7"},
        HeaderCase{"KeyFarBehindEmptyLines", std::string(300000, '\n') + "VERSION 5\n", 5, "5"},
        HeaderCase{"KeyAtTheEndOfAHugeLine", std::string(300000, 'x') + "VERSION 5", 5, "5"},
        HeaderCase{"KeyAcrossAPieceEndOfAHugeLine",
                   std::string(std::size_t{146} * 2047 + 2043, 'x') + "VERSION 5", 0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct BlockCase {
    const char* name;
    std::string plain; // the update's plain first block
    ssize_t n;         // what the read returned; -2 means the plain text's length
    VersionValue raw_value;
    VersionValue decoded_value;
    friend void PrintTo(const BlockCase& c, std::ostream* os) { *os << c.name; }
};

// The same plain text, searched as a plain update and as an encoded one.
class UpdateBlock : public ::testing::TestWithParam<BlockCase> {};

TEST_P(UpdateBlock, SearchesWhatWasReadAsOneText) {
    const BlockCase& c = GetParam();
    const ssize_t n = c.n == -2 ? static_cast<ssize_t>(c.plain.size()) : c.n;
    const std::string encoded = testing_support::reference_encode(c.plain);
    VersionText text{};
    EXPECT_EQ(
        search_update_block(reinterpret_cast<const unsigned char*>(c.plain.data()), n, false, text),
        c.raw_value);
    std::string encoded_block = encoded;
    if (n > 0 && static_cast<std::size_t>(n) < c.plain.size())
        encoded_block = testing_support::reference_encode(c.plain.substr(0, n));
    EXPECT_EQ(search_update_block(reinterpret_cast<const unsigned char*>(encoded_block.data()), n,
                                  true, text),
              c.decoded_value);
}

std::string at_offset(std::size_t offset, const std::string& text, std::size_t size = BLOCK_SIZE) {
    std::string block(size, 'x');
    block.replace(offset, text.size(), text);
    return block;
}

INSTANTIATE_TEST_SUITE_P(
    FirstBlocks, UpdateBlock,
    ::testing::Values(
        BlockCase{"Header", "NAME a\nVERSION 1.3\nDGD_END\n", -2, 13, 13},
        BlockCase{"NoKey", "NAME a\nDGD_END\n", -2, 0, 0},
        BlockCase{"EndLinePlaysNoPart", "DGD_END\nVERSION 4\n", -2, 4, 4},
        BlockCase{"ZeroByteEndsTheText", std::string("a\0VERSION 4\n", 12), -2, 0, 0},
        BlockCase{"NothingBeyondTheReadCount", "VERSION 12", 9, 1, 1},
        BlockCase{"FailedRead", "VERSION 12", -1, 0, 0},
        BlockCase{"EmptyRead", "VERSION 12", 0, 0, 0},
        BlockCase{"TokenReachingTheLastByte", at_offset(8180, "VERSION 1234"), -2, 1234, 123},
        BlockCase{"KeyEndingBeforeTheLastByte", at_offset(8184, "VERSION"), -2, 0, 0},
        BlockCase{"KeyEndingBeforeTheCutThenDigit", at_offset(8184, "VERSION5"), -2, 5, 0},
        BlockCase{"ShortBlockKeepsItsLastByte", at_offset(100, "VERSION 77", 110), -2, 77, 77}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
