#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "seg_test_support.h"
#include "tokenizer/jieba/HMMSegment.h"

namespace jieba = lumo::typing::text::jieba;
using segtest::Lines;

namespace {

std::string JoinBar(const std::vector<std::string>& words) {
  std::string out;
  for (std::size_t i = 0; i < words.size(); ++i) {
    out += (i > 0 ? "|" : "") + words[i];
  }
  return out;
}

struct HMMCase {
  const char* name;
  std::string sentence;
  std::string expected;  // words joined by "|"
};

void PrintTo(const HMMCase& c, std::ostream* os) { *os << c.name; }

class HMMCuts : public ::testing::TestWithParam<HMMCase> {
 protected:
  static std::string Cut(const std::string& sentence) {
    static segtest::Resources res(segtest::ZERO_MAIN_DICT);
    jieba::HMMSegment seg(res.model.get());
    std::vector<std::string> words;
    seg.Cut(sentence, words);
    return JoinBar(words);
  }
};

TEST_P(HMMCuts, PlainModel) { EXPECT_EQ(Cut(GetParam().sentence), GetParam().expected); }

// Paths under segtest::PlainModel, worked out by hand:
//   甲乙:   B -2, then E from B -4; S can only reach -20        -> B E
//   甲中乙: M from B -5, then E from M -7 (from B only -21)     -> B M E
//   单甲乙: S -3, B from S -5, E from B -7 (S reaches -23)       -> S B E
// 丢 is in no emission map: every weight at its position is -3.14e+100 exactly, every
// predecessor from there on is E, so 乙 before it ends a word and the runes after it stand alone.
INSTANTIATE_TEST_SUITE_P(
    Sentences, HMMCuts,
    ::testing::Values(HMMCase{"empty", "", ""}, HMMCase{"one_rune_stretch", "乙", "乙"},
                      HMMCase{"begin_end", "甲乙", "甲乙"}, HMMCase{"begin_middle_end", "甲中乙", "甲中乙"},
                      HMMCase{"single_then_word", "单甲乙", "单|甲乙"},
                      HMMCase{"two_words", "甲乙甲乙", "甲乙|甲乙"},
                      HMMCase{"rune_without_emission", "甲乙丢甲乙", "甲乙|丢|甲|乙"},
                      HMMCase{"letters_take_digits", "iPhone15", "iPhone15"},
                      HMMCase{"number_then_letters", "3.14abc", "3.14|abc"},
                      HMMCase{"number_with_points", "1.2.3", "1.2.3"},
                      HMMCase{"address", "127.0.0.1", "127.0.0.1"},
                      HMMCase{"three_points", "...", ".|.|."}, HMMCase{"point_before_digit", ".5", ".|5"},
                      HMMCase{"point_after_letters", "a1.5", "a1|.|5"},
                      HMMCase{"digits_then_letters", "12ab", "12|ab"},
                      HMMCase{"punctuation", "#-,!", "#|-|,|!"},
                      HMMCase{"letters_hyphen_digits", "abc-12", "abc|-|12"},
                      // The ASCII run splits the stretch: the model never sees 甲 next to 乙.
                      HMMCase{"ascii_cuts_stretch", "甲ab乙", "甲|ab|乙"},
                      HMMCase{"stretches_on_both_sides", "甲乙x9甲中乙", "甲乙|x9|甲中乙"},
                      HMMCase{"separator_inside", "甲乙 甲乙", "甲乙| |甲乙"}),
    [](const auto& info) { return std::string(info.param.name); });

// Every emission of 某 is -1, so only the numbers below decide. Rows are the from-state.
std::string TieModel(const std::string& m_to_e, const std::string& s_to_s) {
  return Lines({
      "-1 -100 -100 -1",
      "-100 -1 -1 -100",
      "-1 -100 -100 -1",
      "-100 " + m_to_e + " -3 -100",
      "-1 -100 -100 " + s_to_s,
      "某:-1",
      "某:-1",
      "某:-1",
      "某:-1",
  });
}

struct TieCase {
  const char* name;
  std::string m_to_e;
  std::string s_to_s;
  std::string sentence;
  std::string expected;
};

void PrintTo(const TieCase& c, std::ostream* os) { *os << c.name; }

class HMMTies : public ::testing::TestWithParam<TieCase> {};

TEST_P(HMMTies, EarlierStateAndEndOverSingle) {
  const TieCase& c = GetParam();
  segtest::Resources res(segtest::ZERO_MAIN_DICT, "", TieModel(c.m_to_e, c.s_to_s));
  jieba::HMMSegment seg(res.model.get());
  std::vector<std::string> words;
  seg.Cut(c.sentence, words);
  EXPECT_EQ(JoinBar(words), c.expected);
}

// Under TieModel("-1", "-1") position 1 has B -4 (from S), E -4 (from B), M -4 (from B),
// S -4 (from S). Two runes: E and S tie at -4, E is final -> one word (S would give 某|某).
// Three runes: E at position 2 gets -6 from B and from M, the lower index B is kept; E and S tie
// at -6 and E is final -> S B E, 某|某某. (Taking M would give 某某某, a final S 某某|某.)
INSTANTIATE_TEST_SUITE_P(
    Models, HMMTies,
    ::testing::Values(TieCase{"two_runes_end_over_single", "-1", "-1", "某某", "某某"},
                      TieCase{"two_runes_single_strictly_better", "-1", "-0.5", "某某", "某|某"},
                      TieCase{"three_runes_lower_state_kept", "-1", "-1", "某某某", "某|某某"},
                      TieCase{"three_runes_middle_strictly_better", "-0.5", "-1", "某某某", "某某某"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HMMSegment, RangeCutAppendsAndWordRecordsCarryOffsets) {
  segtest::Resources res(segtest::ZERO_MAIN_DICT);
  jieba::HMMSegment seg(res.model.get());
  std::vector<jieba::Word> words;
  seg.Cut("ab甲乙", words);
  ASSERT_EQ(words.size(), 2u);
  EXPECT_EQ(words[1].text, "甲乙");
  EXPECT_EQ(words[1].byte_offset, 2u);
  EXPECT_EQ(words[1].rune_offset, 2u);
  EXPECT_EQ(words[1].rune_length, 2u);

  jieba::RuneStrArray runes;
  ASSERT_TRUE(jieba::DecodeRunesInString(std::string("甲乙"), runes));
  std::vector<jieba::WordRange> ranges(1);
  seg.Cut(runes.begin(), runes.end(), ranges);
  ASSERT_EQ(ranges.size(), 2u);
  EXPECT_EQ(ranges[1].first, runes.begin());
  EXPECT_EQ(ranges[1].last, runes.begin() + 1);
  seg.Cut(runes.begin(), runes.begin(), ranges);
  EXPECT_EQ(ranges.size(), 2u);
}

}  // namespace
