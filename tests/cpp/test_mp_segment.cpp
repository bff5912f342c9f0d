#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "seg_test_support.h"
#include "tokenizer/jieba/MPSegment.h"

namespace jieba = lumo::typing::text::jieba;
using segtest::Join;
using segtest::Lines;

namespace {

struct RouteCase {
  const char* name;
  std::string main_dict;
  std::string user_dict;
  std::string sentence;
  std::size_t max_word_len;
  std::string expected;  // words joined by "/"
};

void PrintTo(const RouteCase& c, std::ostream* os) { *os << c.name; }

class MPRoutes : public ::testing::TestWithParam<RouteCase> {};

TEST_P(MPRoutes, CutsAlongTheHeaviestRoute) {
  const RouteCase& c = GetParam();
  segtest::Resources res(c.main_dict, c.user_dict);
  jieba::MPSegment seg(res.dict.get());
  std::vector<std::string> words;
  seg.Cut(c.sentence, words, c.max_word_len);
  EXPECT_EQ(Join(words), c.expected);
}

// With ZERO_MAIN_DICT a rune outside the dictionary weighs 0 and a user word of frequency f
// weighs ln(f / 10): 20 gives ln 2, 40 gives ln 4, no frequency gives 0.
INSTANTIATE_TEST_SUITE_P(
    Dictionaries, MPRoutes,
    ::testing::Values(
        RouteCase{"empty_sentence", segtest::ZERO_MAIN_DICT, "", "", 512, ""},
        RouteCase{"no_dictionary_word", segtest::ZERO_MAIN_DICT, "", "甲乙丙", 512, "甲/乙/丙"},
        // 甲乙 (0) against 甲 + 乙 (0 + 0): equal, the shorter first word stays.
        RouteCase{"tie_word_against_runes", segtest::ZERO_MAIN_DICT, "甲乙\n", "甲乙", 512, "甲/乙"},
        RouteCase{"heavier_word_wins", segtest::ZERO_MAIN_DICT, "甲乙 20 n\n", "甲乙", 512, "甲乙"},
        // 甲乙 + 丙 (ln 2 + 0) against 甲乙丙 (ln 2): equal, the two-rune word is taken.
        RouteCase{"tie_between_two_words", segtest::ZERO_MAIN_DICT, Lines({"甲乙 20 n", "甲乙丙 20 n"}), "甲乙丙",
                  512, "甲乙/丙"},
        RouteCase{"longer_word_heavier", segtest::ZERO_MAIN_DICT, Lines({"甲乙 20 n", "甲乙丙 40 n"}), "甲乙丙",
                  512, "甲乙丙"},
        // Overlapping words: 甲乙 + 丙 (ln 2) against 甲 + 乙丙 (ln 4).
        RouteCase{"overlap_right_heavier", segtest::ZERO_MAIN_DICT, Lines({"甲乙 20 n", "乙丙 40 n"}), "甲乙丙", 512,
                  "甲/乙丙"},
        RouteCase{"overlap_left_heavier", segtest::ZERO_MAIN_DICT, Lines({"甲乙 40 n", "乙丙 20 n"}), "甲乙丙", 512,
                  "甲乙/丙"},
        // Equal overlap: at 甲 the one-rune candidate (0 + ln 2 via 乙丙) ties 甲乙 (ln 2 + 0).
        RouteCase{"overlap_tie_keeps_single_rune", segtest::ZERO_MAIN_DICT, Lines({"甲乙 20 n", "乙丙 20 n"}),
                  "甲乙丙", 512, "甲/乙丙"},
        // Unknown runes cost the smallest main weight, ln 0.1 each: 甲乙 (ln 0.1) beats 甲 + 乙
        // (2 ln 0.1). Were they free, or charged the largest weight ln 0.9, the runes would win.
        RouteCase{"unknown_rune_costs_min_weight", Lines({"甲乙 1 n", "丙 9 n"}), "", "甲乙", 512, "甲乙"},
        RouteCase{"max_length_two", segtest::ZERO_MAIN_DICT, Lines({"甲乙 20 n", "甲乙丙 80 n"}), "甲乙丙", 2,
                  "甲乙/丙"},
        RouteCase{"max_length_one", segtest::ZERO_MAIN_DICT, Lines({"甲乙 20 n", "甲乙丙 80 n"}), "甲乙丙", 1,
                  "甲/乙/丙"},
        // A one-rune user word is an ordinary unit here: ln 4 for 乙 beats ln 2 for 甲乙.
        RouteCase{"single_rune_user_word", segtest::ZERO_MAIN_DICT, Lines({"甲乙 20 n", "乙 40 n"}), "甲乙", 512,
                  "甲/乙"}),
    [](const auto& info) { return std::string(info.param.name); });

// Which runes separate shows in whether a dictionary word containing them can still match.
struct SeparatorCase {
  const char* name;
  std::string rune;
  bool separates;
};

void PrintTo(const SeparatorCase& c, std::ostream* os) { *os << c.name; }

class MPSeparators : public ::testing::TestWithParam<SeparatorCase> {};

TEST_P(MPSeparators, DictionaryWordAcrossTheRune) {
  const SeparatorCase& c = GetParam();
  const std::string word = "甲" + c.rune + "乙";
  segtest::Resources res(segtest::ZERO_MAIN_DICT, word + " 80 n\n");
  jieba::MPSegment seg(res.dict.get());
  std::vector<std::string> words;
  seg.Cut(word, words);
  if (c.separates) {
    EXPECT_EQ(words, (std::vector<std::string>{"甲", c.rune, "乙"}));
  } else {
    EXPECT_EQ(words, (std::vector<std::string>{word}));
  }
}

INSTANTIATE_TEST_SUITE_P(Runes, MPSeparators,
                         ::testing::Values(SeparatorCase{"tab", "\t", true},
                                           SeparatorCase{"fullwidth_comma", "，", true},
                                           SeparatorCase{"ideographic_full_stop", "。", true},
                                           SeparatorCase{"carriage_return", "\r", false},
                                           SeparatorCase{"ideographic_space", "\xE3\x80\x80", false},
                                           SeparatorCase{"ascii_comma", ",", false},
                                           SeparatorCase{"ascii_full_stop", ".", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MPSegment, RangeCutAppendsAfterExistingRanges) {
  segtest::Resources res(segtest::ZERO_MAIN_DICT, "乙丙 20 n\n");
  jieba::MPSegment seg(res.dict.get());
  jieba::RuneStrArray runes;
  ASSERT_TRUE(jieba::DecodeRunesInString(std::string("甲乙丙"), runes));
  std::vector<jieba::WordRange> ranges;
  ranges.emplace_back(runes.begin(), runes.begin());
  seg.Cut(runes.begin() + 1, runes.end(), ranges, jieba::MAX_WORD_LENGTH);
  ASSERT_EQ(ranges.size(), 2u);
  EXPECT_EQ(ranges[0].first, runes.begin());
  EXPECT_EQ(ranges[1].first, runes.begin() + 1);
  EXPECT_EQ(ranges[1].last, runes.begin() + 2);
  seg.Cut(runes.begin(), runes.begin(), ranges, jieba::MAX_WORD_LENGTH);
  EXPECT_EQ(ranges.size(), 2u);
}

TEST(MPSegment, VirtualCutUsesTheFullWordLength) {
  // A word of 20 runes is found through the two-argument form.
  std::string long_word;
  for (int i = 0; i < 20; ++i) {
    long_word += "甲";
  }
  segtest::Resources res(segtest::ZERO_MAIN_DICT, long_word + " 20 n\n");
  jieba::MPSegment seg(res.dict.get());
  const jieba::SegmentBase& base = seg;
  std::vector<std::string> words;
  base.Cut(long_word + "乙", words);
  EXPECT_EQ(words, (std::vector<std::string>{long_word, "乙"}));
  EXPECT_EQ(seg.GetDictTrie(), res.dict.get());
}

}  // namespace
