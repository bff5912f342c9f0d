#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "lexical_test_support.h"
#include "seg_test_support.h"
#include "tokenizer/jieba/MPSegment.h"
#include "tokenizer/jieba/MixSegment.h"
#include "tokenizer/jieba/PosTagger.h"

namespace jieba = lumo::typing::text::jieba;
using lexical_test::ParseRecords;
using lexical_test::Record;
using segtest::Lines;
using Tagged = std::vector<std::pair<std::string, std::string>>;

namespace {

// 2024 is a tagged dictionary word made of digits; ab12 and 中国 are user words, the first
// without a tag, the second with one.
const std::string kMain = Lines({"甲乙 10 n", "2024 5 t", "天 5 n"});
const std::string kUser = Lines({"ab12", "中国 ns"});

struct TagCase {
  const char* name;
  std::string word;
  std::string tag;
};

void PrintTo(const TagCase& c, std::ostream* os) { *os << c.name; }

class LookupTag : public ::testing::TestWithParam<TagCase> {};

TEST_P(LookupTag, DictionaryTagOrFallback) {
  segtest::Resources res(kMain, kUser);
  jieba::MixSegment seg(res.dict.get(), res.model.get());
  jieba::PosTagger tagger;
  EXPECT_EQ(tagger.LookupTag(GetParam().word, seg), GetParam().tag);
}

INSTANTIATE_TEST_SUITE_P(
    Words, LookupTag,
    ::testing::Values(TagCase{"dictionary_tag", "甲乙", "n"}, TagCase{"dictionary_digits_tag", "2024", "t"},
                      TagCase{"user_tag", "中国", "ns"},
                      // The user word has an empty tag and falls through to the character rule.
                      TagCase{"empty_tag_falls_through", "ab12", "eng"},
                      TagCase{"digits", "2025", "m"},
                      // Only the runes up to half the length in ASCII count: 1 2, then a stop.
                      TagCase{"digits_then_letters", "12ab", "m"},
                      TagCase{"letters_then_digits", "ba12", "eng"}, TagCase{"letters", "abcd", "eng"},
                      TagCase{"one_digit", "7", "x"}, TagCase{"one_letter", "x", "x"},
                      TagCase{"one_chinese_rune_outside", "地", "x"}, TagCase{"one_chinese_rune_tagged", "天", "n"},
                      TagCase{"chinese_outside", "丙丁", "x"}, TagCase{"empty_word", "", "x"},
                      // Two runes: the scan stops at the first ASCII rune.
                      TagCase{"chinese_then_digit", "丙1", "m"}, TagCase{"letter_then_digit", "a1", "eng"},
                      TagCase{"digit_then_letter", "1a", "m"},
                      // Four runes, one ASCII: the scan reaches the end.
                      TagCase{"mostly_chinese_digit", "甲乙丙1", "m"},
                      TagCase{"mostly_chinese_letter", "甲乙丙z", "eng"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PosTagger, UndecodableWordIsTaggedXWithARecord) {
  segtest::Resources res(kMain, kUser);
  jieba::MPSegment seg(res.dict.get());
  jieba::PosTagger tagger;
  testing::internal::CaptureStderr();
  const std::string tag = tagger.LookupTag("a\xFF", seg);
  const std::vector<Record> records = ParseRecords(testing::internal::GetCapturedStderr());
  EXPECT_EQ(tag, "x");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].label, "csrc/tokenizer/jieba/PosTagger");
  EXPECT_EQ(records[0].line, 42);
  EXPECT_EQ(records[0].level, "ERROR");
  EXPECT_EQ(records[0].message, "Decode failed.");
}

TEST(PosTagger, TagAppendsPairsForEveryWord) {
  segtest::Resources res(kMain, kUser);
  jieba::MixSegment mix(res.dict.get(), res.model.get());
  jieba::MPSegment mp(res.dict.get());

  Tagged tagged = {{"before", "q"}};
  EXPECT_TRUE(mix.Tag("甲乙 ab12，2024中国", tagged));
  const Tagged expected = {{"before", "q"}, {"甲乙", "n"}, {" ", "x"}, {"ab12", "eng"},
                           {"，", "x"},     {"2024", "t"}, {"中国", "ns"}};
  EXPECT_EQ(tagged, expected);

  // The max-probability segmenter cuts unknown ASCII into runes, which the rule tags "x".
  Tagged mp_tagged;
  EXPECT_TRUE(mp.Tag("甲乙99", mp_tagged));
  EXPECT_EQ(mp_tagged, (Tagged{{"甲乙", "n"}, {"9", "x"}, {"9", "x"}}));
}

TEST(PosTagger, EmptySentenceReportsWhatWasThere) {
  segtest::Resources res(kMain, kUser);
  jieba::MixSegment seg(res.dict.get(), res.model.get());
  const jieba::SegmentTagged& tagged_segment = seg;
  Tagged tagged;
  EXPECT_FALSE(tagged_segment.Tag("", tagged));
  EXPECT_TRUE(tagged.empty());
  tagged.emplace_back("w", "t");
  EXPECT_TRUE(tagged_segment.Tag("", tagged));
  EXPECT_EQ(tagged.size(), 1u);
}

}  // namespace
