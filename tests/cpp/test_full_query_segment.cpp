#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "seg_test_support.h"
#include "tokenizer/jieba/FullSegment.h"
#include "tokenizer/jieba/MixSegment.h"
#include "tokenizer/jieba/QuerySegment.h"

namespace jieba = lumo::typing::text::jieba;
using segtest::Join;
using segtest::Lines;

namespace {

struct CutCase {
  const char* name;
  std::string main_dict;
  std::string sentence;
  std::string expected;
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

// Each long word outweighs every split of it by far (ln(50/75) against at most 2 ln(5/75)), so
// the mixed segmenter keeps it whole and only the search additions are under test.
const std::string kAllParts =
    Lines({"甲乙丙丁 50 n", "甲乙 5 n", "乙丙 5 n", "丙丁 5 n", "甲乙丙 5 n", "乙丙丁 5 n"});
const std::string kSomeParts = Lines({"甲乙丙丁 50 n", "甲乙 5 n", "丙丁 5 n", "乙丙丁 5 n"});
const std::string kFiveRunes = Lines({"甲乙丙丁戊 90 n", "甲乙丙丁 1 n", "乙丙丁戊 1 n", "乙丙 1 n", "丙丁戊 1 n"});

class QueryCuts : public ::testing::TestWithParam<CutCase> {};

TEST_P(QueryCuts, SubWordsBeforeEachWord) {
  const CutCase& c = GetParam();
  segtest::Resources res(c.main_dict);
  jieba::QuerySegment seg(res.dict.get(), res.model.get());
  std::vector<std::string> words;
  seg.Cut(c.sentence, words, true);
  EXPECT_EQ(Join(words), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Dictionaries, QueryCuts,
    ::testing::Values(
        CutCase{"empty", kAllParts, "", ""},
        // Six ranges: the three pairs, the two triples, then the word.
        CutCase{"four_runes_all_parts", kAllParts, "甲乙丙丁", "甲乙/乙丙/丙丁/甲乙丙/乙丙丁/甲乙丙丁"},
        // A three-rune word gets its pairs but not itself as a triple.
        CutCase{"three_runes", kAllParts, "甲乙丙", "甲乙/乙丙/甲乙丙"},
        CutCase{"gaps_are_skipped", kSomeParts, "甲乙丙丁", "甲乙/丙丁/乙丙丁/甲乙丙丁"},
        // Parts of four runes or more are never added, though 甲乙丙丁 and 乙丙丁戊 are words.
        CutCase{"five_runes", kFiveRunes, "甲乙丙丁戊", "乙丙/丙丁戊/甲乙丙丁戊"},
        // Words of at most two runes come out alone, separators included.
        CutCase{"short_words_alone", kAllParts, "甲乙 丙丁，", "甲乙/ /丙丁/，"},
        CutCase{"each_word_in_turn", kAllParts, "甲乙丙丁甲乙丙", "甲乙/乙丙/丙丁/甲乙丙/乙丙丁/甲乙丙丁/甲乙/乙丙/甲乙丙"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(QuerySegment, ShortWordsEqualTheMixedSegmenter) {
  segtest::Resources res(Lines({"天 5 n", "地 5 n"}));
  jieba::QuerySegment query(res.dict.get(), res.model.get());
  jieba::MixSegment mix(res.dict.get(), res.model.get());
  const std::string sentence = "甲乙单甲中乙 ab12 天地";
  std::vector<std::string> mixed;
  std::vector<std::string> searched;
  mix.Cut(sentence, mixed, true);
  // The three-rune HMM word 甲中乙 is not a dictionary word, and neither are its pairs.
  query.Cut(sentence, searched, true);
  EXPECT_EQ(searched, mixed);
  const jieba::SegmentBase& base = query;
  base.Cut(sentence, searched);
  EXPECT_EQ(searched, mixed);
}

TEST(QuerySegment, HmmFlagReachesTheMixedSegmenter) {
  segtest::Resources res(Lines({"天 5 n", "地 5 n"}));
  jieba::QuerySegment seg(res.dict.get(), res.model.get());
  std::vector<std::string> words;
  seg.Cut("甲乙", words, false);
  EXPECT_EQ(Join(words), "甲/乙");
  seg.Cut("甲乙", words, true);
  EXPECT_EQ(Join(words), "甲乙");
}

class FullCuts : public ::testing::TestWithParam<CutCase> {};

TEST_P(FullCuts, EveryWordAndUncoveredRunes) {
  const CutCase& c = GetParam();
  segtest::Resources res(c.main_dict);
  jieba::FullSegment seg(res.dict.get());
  std::vector<std::string> words;
  seg.Cut(c.sentence, words);
  EXPECT_EQ(Join(words), c.expected);
}

const std::string kABCD = Lines({"甲乙 1 n", "甲乙丙 1 n", "乙丙 1 n", "丙丁 1 n"});

INSTANTIATE_TEST_SUITE_P(
    Dictionaries, FullCuts,
    ::testing::Values(
        CutCase{"empty", kABCD, "", ""},
        // 丁 is left out: 丙丁 reaches over it.
        CutCase{"overlapping_words", kABCD, "甲乙丙丁", "甲乙/甲乙丙/乙丙/丙丁"},
        CutCase{"no_long_word", kABCD, "戊己", "戊/己"},
        // A rune no word reaches over is listed, whether or not it is a word itself.
        CutCase{"uncovered_rune_after_word", kABCD, "甲乙戊", "甲乙/戊"},
        // A one-rune word where a longer word also starts is not listed.
        CutCase{"single_word_beside_longer", Lines({"甲 1 n", "甲乙 1 n"}), "甲乙", "甲乙"},
        CutCase{"single_word_alone", Lines({"甲 1 n", "甲乙 1 n"}), "乙甲", "乙/甲"},
        CutCase{"separators_kept", kABCD, "甲乙 丙丁。", "甲乙/ /丙丁/。"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FullSegment, WordRecordsOverlap) {
  segtest::Resources res(kABCD);
  jieba::FullSegment seg(res.dict.get());
  std::vector<jieba::Word> words;
  seg.Cut("甲乙丙丁", words);
  ASSERT_EQ(words.size(), 4u);
  EXPECT_EQ(words[1].text, "甲乙丙");
  EXPECT_EQ(words[1].byte_offset, 0u);
  EXPECT_EQ(words[2].text, "乙丙");
  EXPECT_EQ(words[2].byte_offset, 3u);
  EXPECT_EQ(words[2].rune_offset, 1u);
  EXPECT_EQ(words[2].rune_length, 2u);
}

}  // namespace
