#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "seg_test_support.h"
#include "tokenizer/jieba/FullSegment.h"
#include "tokenizer/jieba/HMMSegment.h"
#include "tokenizer/jieba/Jieba.h"
#include "tokenizer/jieba/MPSegment.h"
#include "tokenizer/jieba/MixSegment.h"
#include "tokenizer/jieba/QuerySegment.h"

namespace jieba = lumo::typing::text::jieba;
using segtest::Join;
using segtest::Lines;
using segtest::ZERO;

namespace {

enum Kind { MP, HMM, MIX, FULL, QUERY };

struct CutCase {
  const char* name;
  Kind kind;
  std::string main_dict;
  std::string user_dict;
  std::string sentence;
  std::string expected;  // words joined by "|"
  // MP: maximum word length; MIX, QUERY: 1 for hmm on, 0 for off. The default goes through the
  // virtual two-argument Cut.
  std::size_t option = 512;
  std::string model = segtest::PlainModel();
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

std::vector<std::string> Cut(const CutCase& c) {
  segtest::Resources res(c.main_dict, c.user_dict, c.model);
  std::vector<std::string> words = {"stale"};
  const bool virtual_form = c.option == 512 || ((c.kind == MIX || c.kind == QUERY) && c.option == 1);
  const auto run = [&](const auto& seg, auto... option) {
    if (virtual_form) {
      static_cast<const jieba::SegmentBase&>(seg).Cut(c.sentence, words);
    } else {
      seg.Cut(c.sentence, words, option...);
    }
  };
  switch (c.kind) {
    case MP:
      run(jieba::MPSegment(res.dict.get()), c.option);
      break;
    case HMM:
      run(jieba::HMMSegment(res.model.get()));
      break;
    case MIX:
      run(jieba::MixSegment(res.dict.get(), res.model.get()), c.option != 0);
      break;
    case FULL:
      run(jieba::FullSegment(res.dict.get()));
      break;
    case QUERY:
      run(jieba::QuerySegment(res.dict.get(), res.model.get()), c.option != 0);
      break;
  }
  return words;
}

class Segmenters : public ::testing::TestWithParam<CutCase> {};

TEST_P(Segmenters, HandWorkedCuts) { EXPECT_EQ(Join(Cut(GetParam())), GetParam().expected); }

// Under ZERO a user word of frequency 20 weighs ln 2, 40 ln 4, 80 ln 8, none 0.
const std::string kLn2Ln4 = Lines({"甲乙 20 n", "乙丙 40 n"});
// Main weights ln 0.3 for 天 地 乙甲, ln 0.1 for 中, which is also the cost of an unknown rune.
const std::string kMix = Lines({"天 3 n", "地 3 n", "乙甲 3 n", "中 1 n"});
const std::string kBare = Lines({"天 5 n", "地 5 n"});
// Each long word outweighs every split of it by far, so only the search additions are tested.
const std::string kAll = Lines({"甲乙丙丁 50 n", "甲乙 5 n", "乙丙 5 n", "丙丁 5 n", "甲乙丙 5 n", "乙丙丁 5 n"});
const std::string kSome = Lines({"甲乙丙丁 50 n", "甲乙 5 n", "丙丁 5 n", "乙丙丁 5 n"});
const std::string kFive = Lines({"甲乙丙丁戊 90 n", "甲乙丙丁 1 n", "乙丙丁戊 1 n", "乙丙 1 n", "丙丁戊 1 n"});
const std::string kABCD = Lines({"甲乙 1 n", "甲乙丙 1 n", "乙丙 1 n", "丙丁 1 n"});
std::string Twenty() {
  std::string w;
  for (int i = 0; i < 20; ++i) w += "甲";
  return w;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Segmenters,
    ::testing::Values(
        CutCase{"mp_empty", MP, ZERO, "", "", ""}, CutCase{"mp_no_word", MP, ZERO, "", "甲乙丙", "甲|乙|丙"},
        // 甲乙 (0) ties 甲 + 乙 (0 + 0): the shorter first word stays.
        CutCase{"mp_tie_word_and_runes", MP, ZERO, "甲乙\n", "甲乙", "甲|乙"},
        CutCase{"mp_heavier_word", MP, ZERO, "甲乙 20 n\n", "甲乙", "甲乙"},
        // 甲乙 + 丙 (ln 2 + 0) ties 甲乙丙 (ln 2).
        CutCase{"mp_tie_two_words", MP, ZERO, Lines({"甲乙 20 n", "甲乙丙 20 n"}), "甲乙丙", "甲乙|丙"},
        CutCase{"mp_overlap_right", MP, ZERO, kLn2Ln4, "甲乙丙", "甲|乙丙"},
        CutCase{"mp_overlap_left", MP, ZERO, Lines({"甲乙 40 n", "乙丙 20 n"}), "甲乙丙", "甲乙|丙"},
        // At 甲 the one-rune candidate (0 + ln 2 through 乙丙) ties 甲乙 (ln 2 + 0).
        CutCase{"mp_overlap_tie", MP, ZERO, Lines({"甲乙 20 n", "乙丙 20 n"}), "甲乙丙", "甲|乙丙"},
        // Unknown runes cost ln 0.1, the smallest main weight: 甲乙 (ln 0.1) beats 2 ln 0.1. Free
        // runes, or runes charged the largest weight ln 0.9, would win instead.
        CutCase{"mp_unknown_costs_min_weight", MP, Lines({"甲乙 1 n", "丙 9 n"}), "", "甲乙", "甲乙"},
        CutCase{"mp_max_length_2", MP, ZERO, Lines({"甲乙 20 n", "甲乙丙 80 n"}), "甲乙丙", "甲乙|丙", 2},
        CutCase{"mp_max_length_1", MP, ZERO, Lines({"甲乙 20 n", "甲乙丙 80 n"}), "甲乙丙", "甲|乙|丙", 1},
        CutCase{"mp_long_word", MP, ZERO, Twenty() + " 20 n\n", Twenty() + "乙", Twenty() + "|乙"},
        // A one-rune user word is an ordinary unit here: ln 4 for 乙 beats ln 2 for 甲乙.
        CutCase{"mp_one_rune_user_word", MP, ZERO, Lines({"甲乙 20 n", "乙 40 n"}), "甲乙", "甲|乙"},
        // Whether a rune separates shows in whether a dictionary word across it still matches.
        CutCase{"sep_tab", MP, ZERO, "甲\t乙 80 n\n", "甲\t乙", "甲|\t|乙"},
        CutCase{"sep_fullwidth_comma", MP, ZERO, "甲，乙 80 n\n", "甲，乙", "甲|，|乙"},
        CutCase{"sep_ideographic_full_stop", MP, ZERO, "甲。乙 80 n\n", "甲。乙", "甲|。|乙"},
        CutCase{"sep_not_carriage_return", MP, ZERO, "甲\r乙 80 n\n", "甲\r乙", "甲\r乙"},
        CutCase{"sep_not_ideographic_space", MP, ZERO, "甲\u3000乙 80 n\n", "甲\u3000乙", "甲\u3000乙"},
        CutCase{"sep_not_ascii_comma", MP, ZERO, "甲,乙 80 n\n", "甲,乙", "甲,乙"},
        CutCase{"sep_not_ascii_full_stop", MP, ZERO, "甲.乙 80 n\n", "甲.乙", "甲.乙"},
        CutCase{"sep_space_line_feed", MP, ZERO, "", " 甲 \n\n", " |甲| |\n|\n"},

        // PlainModel paths: 甲乙 B E (-4); 甲中乙 B M E (-7); 单甲乙 S B E (-7).
        CutCase{"hmm_empty", HMM, ZERO, "", "", ""}, CutCase{"hmm_one_rune", HMM, ZERO, "", "乙", "乙"},
        CutCase{"hmm_begin_end", HMM, ZERO, "", "甲乙", "甲乙"},
        CutCase{"hmm_begin_middle_end", HMM, ZERO, "", "甲中乙", "甲中乙"},
        CutCase{"hmm_single_then_word", HMM, ZERO, "", "单甲乙", "单|甲乙"},
        CutCase{"hmm_two_words", HMM, ZERO, "", "甲乙甲乙", "甲乙|甲乙"},
        // 丢 is in no emission map: every weight at its position is exactly -3.14e+100 and every
        // predecessor from there on is E, so 乙 before it ends a word and the rest stand alone.
        CutCase{"hmm_rune_without_emission", HMM, ZERO, "", "甲乙丢甲乙", "甲乙|丢|甲|乙"},
        CutCase{"ascii_letters_take_digits", HMM, ZERO, "", "iPhone15", "iPhone15"},
        CutCase{"ascii_number_then_letters", HMM, ZERO, "", "3.14abc", "3.14|abc"},
        CutCase{"ascii_version", HMM, ZERO, "", "1.2.3", "1.2.3"},
        CutCase{"ascii_address", HMM, ZERO, "", "127.0.0.1", "127.0.0.1"},
        CutCase{"ascii_three_points", HMM, ZERO, "", "...", ".|.|."},
        CutCase{"ascii_point_before_digit", HMM, ZERO, "", ".5", ".|5"},
        CutCase{"ascii_point_after_letters", HMM, ZERO, "", "a1.5", "a1|.|5"},
        CutCase{"ascii_punctuation", HMM, ZERO, "", "#-,!", "#|-|,|!"},
        // An ASCII run cuts the stretch: the model never sees 甲 beside 乙.
        CutCase{"ascii_cuts_stretch", HMM, ZERO, "", "甲ab乙", "甲|ab|乙"},
        CutCase{"ascii_between_stretches", HMM, ZERO, "", "甲乙x9甲中乙", "甲乙|x9|甲中乙"},
        // TieModel: after 某 every state weighs -4. Two runes: E ties S and is final (S: 某|某).
        // Three runes: E gets -6 from B and from M and keeps B, the lower index; E ties S again
        // -> S B E (taking M gives 某某某, a final S 某某|某).
        CutCase{"tie_end_over_single", HMM, ZERO, "", "某某", "某某", 512, segtest::TieModel("-1", "-1")},
        CutCase{"tie_single_better", HMM, ZERO, "", "某某", "某|某", 512, segtest::TieModel("-1", "-0.5")},
        CutCase{"tie_lower_state", HMM, ZERO, "", "某某某", "某|某某", 512, segtest::TieModel("-1", "-1")},
        CutCase{"tie_middle_better", HMM, ZERO, "", "某某某", "某某某", 512, segtest::TieModel("-0.5", "-1")},

        CutCase{"mix_whole_range_one_run", MIX, kBare, "", "甲乙甲乙", "甲乙|甲乙"},
        CutCase{"mix_hmm_off", MIX, kBare, "", "甲乙甲乙", "甲|乙|甲|乙", 0},
        // 乙甲 (ln 0.3) beats 2 ln 0.1 and survives; the runes beside it are runs of their own.
        CutCase{"mix_word_survives", MIX, kMix, "", "甲乙甲乙", "甲|乙甲|乙"},
        CutCase{"mix_word_survives_hmm_off", MIX, kMix, "", "甲乙甲乙", "甲|乙甲|乙", 0},
        // 中 with only a main entry is re-cut with its neighbours; as a user word it splits runs.
        CutCase{"mix_main_single_rune_rejoined", MIX, kMix, "", "甲中乙", "甲中乙"},
        CutCase{"mix_user_single_rune", MIX, kBare, "中\n", "甲中乙", "甲|中|乙"},
        CutCase{"mix_runs_both_sides", MIX, kBare, "中\n", "甲乙中甲乙", "甲乙|中|甲乙"},
        CutCase{"mix_user_rune_at_edges", MIX, kBare, "中\n", "中甲乙中", "中|甲乙|中"},
        CutCase{"mix_ascii_rejoined", MIX, kBare, "", "ab12甲乙", "ab12|甲乙"},
        CutCase{"mix_ascii_hmm_off", MIX, kBare, "", "ab12", "a|b|1|2", 0},
        CutCase{"mix_separators", MIX, kBare, "", "甲乙，甲乙 。", "甲乙|，|甲乙| |。"},

        CutCase{"full_overlapping_words", FULL, kABCD, "", "甲乙丙丁", "甲乙|甲乙丙|乙丙|丙丁"},
        CutCase{"full_no_long_word", FULL, kABCD, "", "戊己", "戊|己"},
        CutCase{"full_uncovered_rune", FULL, kABCD, "", "甲乙戊", "甲乙|戊"},
        CutCase{"full_one_rune_word_beside_longer", FULL, Lines({"甲 1 n", "甲乙 1 n"}), "", "甲乙", "甲乙"},
        CutCase{"full_one_rune_word_alone", FULL, Lines({"甲 1 n", "甲乙 1 n"}), "", "乙甲", "乙|甲"},
        CutCase{"full_separators", FULL, kABCD, "", "甲乙 丙丁。", "甲乙| |丙丁|。"},

        // Six ranges for the four-rune word: three pairs, two triples, the word.
        CutCase{"query_four_runes", QUERY, kAll, "", "甲乙丙丁", "甲乙|乙丙|丙丁|甲乙丙|乙丙丁|甲乙丙丁"},
        CutCase{"query_three_runes", QUERY, kAll, "", "甲乙丙", "甲乙|乙丙|甲乙丙"},
        CutCase{"query_gaps", QUERY, kSome, "", "甲乙丙丁", "甲乙|丙丁|乙丙丁|甲乙丙丁"},
        // No part of four runes, though 甲乙丙丁 and 乙丙丁戊 are words.
        CutCase{"query_five_runes", QUERY, kFive, "", "甲乙丙丁戊", "乙丙|丙丁戊|甲乙丙丁戊"},
        CutCase{"query_short_words_alone", QUERY, kAll, "", "甲乙 丙丁，", "甲乙| |丙丁|，"},
        CutCase{"query_each_word", QUERY, kAll, "", "甲乙丙丁甲乙丙",
                "甲乙|乙丙|丙丁|甲乙丙|乙丙丁|甲乙丙丁|甲乙|乙丙|甲乙丙"},
        CutCase{"query_hmm_word_without_parts", QUERY, kBare, "", "单甲中乙", "单|甲中乙"},
        CutCase{"query_hmm_off", QUERY, kBare, "", "甲乙", "甲|乙", 0}),
    [](const auto& info) { return std::string(info.param.name); });

// With or without the HMM stage the mixed segmenter's ranges tile the range, and range-level
// cuts append after what the list held.
TEST(Segmenters, RangesTileAndAppend) {
  segtest::Resources res(kMix, "中\n");
  jieba::MixSegment seg(res.dict.get(), res.model.get());
  jieba::RuneStrArray runes;
  ASSERT_TRUE(jieba::DecodeRunesInString(std::string("甲乙甲乙中ab天地乙甲丢x.1"), runes));
  for (bool hmm : {true, false}) {
    std::vector<jieba::WordRange> ranges(1);
    seg.Cut(runes.begin(), runes.end(), ranges, hmm);
    ASSERT_GT(ranges.size(), 2u);
    EXPECT_EQ(ranges[1].first, runes.begin());
    EXPECT_EQ(ranges.back().last, runes.end() - 1);
    for (std::size_t i = 2; i < ranges.size(); ++i) {
      EXPECT_EQ(ranges[i].first, ranges[i - 1].last + 1) << "hmm=" << hmm << " i=" << i;
    }
  }
}

TEST(Segmenters, FacadeBuildsEverySegmenterOverItsResources) {
  lexical_test::TempDir dir;
  const jieba::Jieba tok(dir.Write("d", kAll), dir.Write("h", segtest::PlainModel()), dir.Write("u", "中\n"),
                         dir.Write("i", "甲乙 2.5\n"), dir.Write("s", "的\n"));
  std::vector<std::string> words = {"stale"};
  tok.Cut("甲乙丙丁 甲中乙", words, true);
  EXPECT_EQ(Join(words), "甲乙丙丁| |甲|中|乙");
  tok.CutForSearch("甲乙丙丁 甲中乙", words, true);
  EXPECT_EQ(Join(words), "甲乙|乙丙|丙丁|甲乙丙|乙丙丁|甲乙丙丁| |甲|中|乙");
  tok.Cut("甲中乙", words, false);
  EXPECT_EQ(Join(words), "甲|中|乙");
  EXPECT_EQ(tok.GetMixSegment().GetDictTrie(), &tok.GetDictTrie());
  EXPECT_DOUBLE_EQ(tok.GetDictTrie().GetUserWordWeight(), tok.GetDictTrie().GetMedianWeight());
  tok.GetFullSegment().Cut("甲乙丙丁", words);
  EXPECT_EQ(Join(words), "甲乙|甲乙丙|甲乙丙丁|乙丙|乙丙丁|丙丁");
  tok.GetHMMSegment().Cut("甲乙甲中乙", words);
  EXPECT_EQ(Join(words), "甲乙|甲中乙");
}

}  // namespace
