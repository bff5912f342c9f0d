#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "tokenizer/jieba/Unicode.h"

namespace jieba = lumo::typing::text::jieba;
using jieba::RuneStr;

namespace {

// (bytes, decodes, expected (rune, byte offset, byte length) per rune)
using Expected = std::vector<std::tuple<jieba::Rune, std::uint32_t, std::uint32_t>>;
class Decode : public ::testing::TestWithParam<std::tuple<std::string, bool, Expected>> {};

TEST_P(Decode, BothForms) {
  const auto& [bytes, ok, expected] = GetParam();
  jieba::RuneStrArray records;
  jieba::RuneArray runes;
  records.push_back(RuneStr{1, 2, 3, 4, 5});  // earlier contents are replaced
  runes.push_back(7);
  ASSERT_EQ(jieba::DecodeRunesInString(bytes.data(), bytes.size(), records), ok);
  ASSERT_EQ(jieba::DecodeRunesInString(bytes, runes), ok);
  ASSERT_EQ(records.size(), expected.size());
  ASSERT_EQ(runes.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto [rune, offset, length] = expected[i];
    EXPECT_EQ(std::make_tuple(records[i].rune, records[i].byte_offset, records[i].byte_length), expected[i]);
    EXPECT_EQ(records[i].rune_offset, i);
    EXPECT_EQ(records[i].rune_length, 1u);
    EXPECT_EQ(runes[i], rune);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Decode,
    ::testing::Values(std::make_tuple("", true, Expected{}),
                      std::make_tuple("abc", true, Expected{{97, 0, 1}, {98, 1, 1}, {99, 2, 1}}),
                      std::make_tuple("\xE4\xB8\xAD\x41", true, Expected{{0x4E2D, 0, 3}, {0x41, 3, 1}}),
                      std::make_tuple("\xF0\x9F\x98\x80", true, Expected{{0x1F600, 0, 4}}),
                      std::make_tuple("\xC3\xA9z", true, Expected{{0xE9, 0, 2}, {'z', 2, 1}}),
                      // Continuation bytes are not examined: E4 41 42 is one rune; a stray 80 leads two bytes.
                      std::make_tuple("\xE4\x41\x42", true, Expected{{0x4042, 0, 3}}),
                      std::make_tuple("\x80\x41", true, Expected{{0x01, 0, 2}}),
                      std::make_tuple(std::string("\xC0\x80", 2), true, Expected{{0, 0, 2}}),
                      std::make_tuple("\xF4\x90\x80\x80", true, Expected{{0x110000, 0, 4}}),
                      std::make_tuple("\xF7\xBF\xBF\xBF", true, Expected{{0x1FFFFF, 0, 4}}),
                      std::make_tuple("ab\xC3", false, Expected{}), std::make_tuple("\xE4\xB8", false, Expected{}),
                      std::make_tuple("\xE4\xB8\xAD\xE4\xB8", false, Expected{}),
                      std::make_tuple("\xF0\x9F\x98", false, Expected{}), std::make_tuple("abc\xFF", false, Expected{}),
                      std::make_tuple("\xF8\x80\x80\x80", false, Expected{}),
                      std::make_tuple("\xFF\xBF\xBF\xBF", false, Expected{})));

// (bytes, capacity): n / 2 records are reserved up front, then the vector doubles.
class DecodeReserve : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(DecodeReserve, ReservesHalfTheBytesThenDoubles) {
  const auto [bytes, capacity] = GetParam();
  jieba::RuneStrArray out;
  ASSERT_TRUE(jieba::DecodeRunesInString(std::string(bytes, 'x'), out));
  EXPECT_EQ(out.capacity(), static_cast<std::size_t>(capacity));
}

INSTANTIATE_TEST_SUITE_P(Lengths, DecodeReserve,
                         ::testing::Values(std::make_tuple(16, 16), std::make_tuple(33, 64), std::make_tuple(34, 34),
                                           std::make_tuple(40, 40)));

// Positions are 32-bit, so 4 GiB of text must be refused rather than wrap them. The bytes are an
// untouched mapping: a decoder that went ahead would fault or exhaust memory.
TEST(DecodeRunes, TextOfFourGibibytesFails) {
  const std::size_t size = std::size_t{1} << 32;
  void* block = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (block == MAP_FAILED) GTEST_SKIP() << "cannot map 4 GiB of address space";
  jieba::RuneStrArray records;
  jieba::RuneArray runes;
  EXPECT_FALSE(jieba::DecodeRunesInString(static_cast<const char*>(block), size, records));
  EXPECT_FALSE(jieba::DecodeRunesInString(static_cast<const char*>(block), size, runes));
  EXPECT_TRUE(records.empty() && runes.empty());
  munmap(block, size);
}

TEST(GetWordsFromWordRanges, AppendsBytesAndPositionsOfEachRange) {
  const std::string sentence = "\xE4\xB8\xAD\x41\x42";
  jieba::RuneStrArray r;
  ASSERT_TRUE(jieba::DecodeRunesInString(sentence, r));
  std::vector<jieba::Word> words = {jieba::Word("kept", 9, 9, 9)};
  jieba::GetWordsFromWordRanges(sentence, {{r.begin() + 1, r.begin() + 2}, {r.begin(), r.begin()}}, words);
  ASSERT_EQ(words.size(), 3u);
  EXPECT_EQ(words[0].text, "kept");
  EXPECT_EQ(std::make_tuple(words[1].text, words[1].byte_offset, words[1].rune_offset, words[1].rune_length),
            std::make_tuple(std::string("AB"), 3u, 1u, 2u));
  EXPECT_EQ(std::make_tuple(words[2].text, words[2].byte_offset, words[2].rune_offset, words[2].rune_length),
            std::make_tuple(std::string("\xE4\xB8\xAD"), 0u, 0u, 1u));
}

}  // namespace
