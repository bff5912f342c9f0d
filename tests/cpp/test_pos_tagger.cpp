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
using Tagged = std::vector<std::pair<std::string, std::string>>;

namespace {

// 1999 is a tagged dictionary word of digits; ab12 a user word without tag, 中国 one with a tag.
struct TaggerTest : ::testing::Test {
  segtest::Resources res{segtest::Lines({"甲乙 10 n", "1999 5 t", "天 5 n"}), segtest::Lines({"ab12", "中国 ns"})};
  jieba::MixSegment mix{res.dict.get(), res.model.get()};
  jieba::MPSegment mp{res.dict.get()};
  jieba::PosTagger tagger;
};

TEST_F(TaggerTest, LookupTagFromDictionaryOrRule) {
  // word, tag. Only the runes up to half the length in ASCII count: for 12ab the scan stops
  // after 1 and 2, for ba12 after b and a, for two runes at the first ASCII one.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"甲乙", "n"}, {"1999", "t"}, {"中国", "ns"},   {"天", "n"},       {"ab12", "eng"},
      {"2024", "m"}, {"12ab", "m"}, {"ba12", "eng"},  {"abcd", "eng"},   {"7", "x"},
      {"x", "x"},    {"地", "x"},   {"丙丁", "x"},    {"", "x"},         {"丙1", "m"},
      {"a1", "eng"}, {"1a", "m"},   {"甲乙丙1", "m"}, {"甲乙丙z", "eng"}};
  for (const auto& [word, tag] : cases) {
    EXPECT_EQ(tagger.LookupTag(word, mix), tag) << word;
  }
}

TEST_F(TaggerTest, UndecodableWordIsTaggedXWithARecord) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(tagger.LookupTag("a\xFF", mp), "x");
  std::vector<int> lines;
  const auto records =
      lexical_test::ParseRecords(testing::internal::GetCapturedStderr(), "csrc/tokenizer/jieba/PosTagger", &lines);
  EXPECT_EQ(records, std::vector<std::string>{"ERROR Decode failed."});
  EXPECT_EQ(lines, std::vector<int>{42});
}

TEST_F(TaggerTest, TagAppendsOnePairPerWord) {
  Tagged tagged = {{"before", "q"}};
  EXPECT_TRUE(mix.Tag("甲乙 ab12，1999中国", tagged));
  EXPECT_EQ(
      tagged,
      (Tagged{
          {"before", "q"}, {"甲乙", "n"}, {" ", "x"}, {"ab12", "eng"}, {"，", "x"}, {"1999", "t"}, {"中国", "ns"}}));
  // The max-probability segmenter leaves unknown digits as single runes, tagged "x".
  Tagged mp_tagged;
  EXPECT_TRUE(mp.Tag("甲乙99", mp_tagged));
  EXPECT_EQ(mp_tagged, (Tagged{{"甲乙", "n"}, {"9", "x"}, {"9", "x"}}));

  const jieba::SegmentTagged& base = mix;
  Tagged empty;
  EXPECT_FALSE(base.Tag("", empty));
  EXPECT_TRUE(base.Tag("", tagged));
  EXPECT_EQ(tagged.size(), 7u);
  EXPECT_EQ(base.GetDictTrie(), res.dict.get());
}

}  // namespace
