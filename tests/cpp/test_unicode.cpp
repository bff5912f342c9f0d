#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tokenizer/jieba/Unicode.h"

namespace jieba = lumo::typing::text::jieba;
using jieba::Rune;
using jieba::RuneArray;
using jieba::RuneStr;
using jieba::RuneStrArray;

namespace {

struct Expected {
  Rune rune;
  std::uint32_t byte_offset;
  std::uint32_t byte_length;
};

struct DecodeCase {
  const char* name;
  std::string bytes;
  bool ok;
  std::vector<Expected> runes;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, RuneRecords) {
  const DecodeCase& c = GetParam();
  RuneStrArray out;
  out.push_back(RuneStr{1, 2, 3, 4, 5});  // whatever was there is replaced
  ASSERT_EQ(jieba::DecodeRunesInString(c.bytes.data(), c.bytes.size(), out), c.ok);
  ASSERT_EQ(out.size(), c.runes.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i].rune, c.runes[i].rune) << "rune " << i;
    EXPECT_EQ(out[i].byte_offset, c.runes[i].byte_offset) << "rune " << i;
    EXPECT_EQ(out[i].byte_length, c.runes[i].byte_length) << "rune " << i;
    EXPECT_EQ(out[i].rune_offset, i);
    EXPECT_EQ(out[i].rune_length, 1u);
  }
}

TEST_P(Decode, BareRunes) {
  const DecodeCase& c = GetParam();
  RuneArray out;
  out.push_back(77);
  ASSERT_EQ(jieba::DecodeRunesInString(c.bytes, out), c.ok);
  ASSERT_EQ(out.size(), c.runes.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i], c.runes[i].rune) << "rune " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Decode,
    ::testing::Values(
        DecodeCase{"Empty", "", true, {}},
        DecodeCase{"Ascii", "abc", true, {{97, 0, 1}, {98, 1, 1}, {99, 2, 1}}},
        DecodeCase{"ThreeByteThenAscii", "\xE4\xB8\xAD\x41", true, {{0x4E2D, 0, 3}, {0x41, 3, 1}}},
        DecodeCase{"FourByte", "\xF0\x9F\x98\x80", true, {{0x1F600, 0, 4}}},
        DecodeCase{"TwoByte", "\xC3\xA9z", true, {{0xE9, 0, 2}, {'z', 2, 1}}},
        // Continuation bytes are not examined: a wrong one is swallowed into the rune.
        DecodeCase{"BadContinuationSwallowed", "\xE4\x41\x42", true, {{0x4042, 0, 3}}},
        DecodeCase{"ContinuationAsLead", "\x80\x41", true, {{0x01, 0, 2}}},
        DecodeCase{"Overlong", std::string("\xC0\x80", 2), true, {{0, 0, 2}}},
        DecodeCase{"Surrogate", "\xED\xA0\x80", true, {{0xD800, 0, 3}}},
        DecodeCase{"AboveUnicode", "\xF4\x90\x80\x80", true, {{0x110000, 0, 4}}},
        DecodeCase{"LargestFourByte", "\xF7\xBF\xBF\xBF", true, {{0x1FFFFF, 0, 4}}},
        DecodeCase{"NulByte", std::string("a\0b", 3), true, {{'a', 0, 1}, {0, 1, 1}, {'b', 2, 1}}},
        DecodeCase{"FinalLeadOfTwo", "ab\xC3", false, {}},
        DecodeCase{"TruncatedThree", "\xE4\xB8", false, {}},
        DecodeCase{"TruncatedThreeAfterText", "\xE4\xB8\xAD\xE4\xB8", false, {}},
        DecodeCase{"TruncatedFour", "\xF0\x9F\x98", false, {}},
        DecodeCase{"ByteFF", "abc\xFF", false, {}},
        DecodeCase{"ByteF8", "\xF8\x80\x80\x80\x80", false, {}},
        DecodeCase{"ByteFEInside", "\xE4\xB8\xAD\xFE\x41\x41\x41", false, {}}),
    [](const ::testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

// The decoder reserves half the byte count up front, so texts of up to 33 bytes stay inline
// until they pass 16 runes, and longer ones start from a heap block of n / 2 records.
class DecodeReserve : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

TEST_P(DecodeReserve, ReservesHalfTheBytesThenDoubles) {
  const auto [bytes, capacity] = GetParam();
  const std::string text(bytes, 'x');
  RuneStrArray out;
  ASSERT_TRUE(jieba::DecodeRunesInString(text, out));
  EXPECT_EQ(out.size(), bytes);
  EXPECT_EQ(out.capacity(), capacity);
}

INSTANTIATE_TEST_SUITE_P(Lengths, DecodeReserve,
                         ::testing::Values(std::make_pair(0, 16), std::make_pair(16, 16), std::make_pair(33, 64),
                                           std::make_pair(34, 34), std::make_pair(40, 40)));

TEST(DecodeRunes, BareRunesOfALongTextFitExactly) {
  const std::string text(40, 'x');
  RuneArray out;
  ASSERT_TRUE(jieba::DecodeRunesInString(text, out));
  EXPECT_EQ(out.capacity(), 40u);
}

// Positions are 32-bit; a text of 4 GiB must be refused rather than wrap them. The bytes are a
// reserved but untouched mapping, so a decoder that reads them would fault or exhaust memory.
TEST(DecodeRunes, TextOfFourGibibytesFails) {
  const std::size_t size = std::size_t{1} << 32;
  void* block = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (block == MAP_FAILED) {
    GTEST_SKIP() << "cannot map 4 GiB of address space";
  }
  RuneStrArray records;
  records.push_back(RuneStr{1, 0, 1, 0, 1});
  RuneArray runes;
  runes.push_back(1);
  const char* text = static_cast<const char*>(block);
  EXPECT_FALSE(jieba::DecodeRunesInString(text, size, records));
  EXPECT_FALSE(jieba::DecodeRunesInString(text, size, runes));
  EXPECT_TRUE(records.empty());
  EXPECT_TRUE(runes.empty());
  munmap(block, size);
}

TEST(GetWordsFromWordRanges, CopiesTheBytesAndPositionsOfEachRange) {
  const std::string sentence = "\xE4\xB8\xAD\x41\x42";
  RuneStrArray runes;
  ASSERT_TRUE(jieba::DecodeRunesInString(sentence, runes));
  const std::vector<jieba::WordRange> ranges = {
      jieba::WordRange(runes.begin() + 1, runes.begin() + 2),
      jieba::WordRange(runes.begin(), runes.begin()),
      jieba::WordRange(runes.begin(), runes.begin() + 2),
  };
  std::vector<jieba::Word> words;
  words.emplace_back("kept", 9, 9, 9);
  jieba::GetWordsFromWordRanges(sentence, ranges, words);
  ASSERT_EQ(words.size(), 4u);
  EXPECT_EQ(words[0].text, "kept");
  struct {
    std::string text;
    std::uint32_t byte_offset, rune_offset, rune_length;
  } const expected[] = {{"AB", 3, 1, 2}, {"\xE4\xB8\xAD", 0, 0, 1}, {sentence, 0, 0, 3}};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(words[i + 1].text, expected[i].text);
    EXPECT_EQ(words[i + 1].byte_offset, expected[i].byte_offset);
    EXPECT_EQ(words[i + 1].rune_offset, expected[i].rune_offset);
    EXPECT_EQ(words[i + 1].rune_length, expected[i].rune_length);
  }
  EXPECT_EQ(ranges[0].Length(), 2u);
  EXPECT_EQ(ranges[1].Length(), 1u);
}

}  // namespace
