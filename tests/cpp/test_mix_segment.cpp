#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "seg_test_support.h"
#include "tokenizer/jieba/MPSegment.h"
#include "tokenizer/jieba/MixSegment.h"

namespace jieba = lumo::typing::text::jieba;
using segtest::Join;
using segtest::Lines;

namespace {

// Main weights: 天 地 乙甲 ln 0.3, 中 ln 0.1 (also the cost of an unknown rune). Under
// PlainModel the HMM alone cuts 甲乙甲乙 as 甲乙/甲乙 and joins 甲中乙 into one word.
const std::string kMain = Lines({"天 3 n", "地 3 n", "乙甲 3 n", "中 1 n"});
const std::string kMainWithoutWords = Lines({"天 5 n", "地 5 n"});

struct MixCase {
  const char* name;
  std::string main_dict;
  std::string user_dict;
  std::string sentence;
  bool hmm;
  std::string expected;
};

void PrintTo(const MixCase& c, std::ostream* os) { *os << c.name; }

class MixCuts : public ::testing::TestWithParam<MixCase> {};

TEST_P(MixCuts, DictionaryThenHMM) {
  const MixCase& c = GetParam();
  segtest::Resources res(c.main_dict, c.user_dict);
  jieba::MixSegment seg(res.dict.get(), res.model.get());
  std::vector<std::string> words;
  seg.Cut(c.sentence, words, c.hmm);
  EXPECT_EQ(Join(words), c.expected);
  if (!c.hmm) {
    // Without the HMM stage the result is the max-probability segmenter's.
    jieba::MPSegment mp(res.dict.get());
    std::vector<std::string> mp_words;
    mp.Cut(c.sentence, mp_words, jieba::MAX_WORD_LENGTH);
    EXPECT_EQ(words, mp_words);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Dictionaries, MixCuts,
    ::testing::Values(
        MixCase{"empty", kMain, "", "", true, ""},
        // No rune is a dictionary word: the HMM gets the whole range as one run.
        MixCase{"whole_range_one_run", kMainWithoutWords, "", "甲乙甲乙", true, "甲乙/甲乙"},
        MixCase{"hmm_off", kMainWithoutWords, "", "甲乙甲乙", false, "甲/乙/甲/乙"},
        // 乙甲 (ln 0.3) beats 乙 + 甲 (2 ln 0.1) and survives; only the single runes around it
        // go to the HMM, each a run of its own.
        MixCase{"dictionary_word_survives", kMain, "", "甲乙甲乙", true, "甲/乙甲/乙"},
        MixCase{"dictionary_word_hmm_off", kMain, "", "甲乙甲乙", false, "甲/乙甲/乙"},
        // 中 has only a main-dictionary entry: no protection, the run is 甲 中 乙.
        MixCase{"main_single_rune_rejoined", kMain, "", "甲中乙", true, "甲中乙"},
        // As a one-rune user word it ends the run before it and starts a new one after it.
        MixCase{"user_single_rune_protected", kMainWithoutWords, "中\n", "甲中乙", true, "甲/中/乙"},
        MixCase{"runs_on_both_sides", kMainWithoutWords, "中\n", "甲乙中甲乙", true, "甲乙/中/甲乙"},
        MixCase{"user_rune_at_edges", kMainWithoutWords, "中\n", "中甲乙中", true, "中/甲乙/中"},
        // The dictionary stage splits ASCII into runes; the HMM's ASCII rules rejoin them.
        MixCase{"ascii_rejoined", kMainWithoutWords, "", "ab12甲乙", true, "ab12/甲乙"},
        MixCase{"ascii_hmm_off", kMainWithoutWords, "", "ab12", false, "a/b/1/2"},
        MixCase{"separators", kMainWithoutWords, "", "甲乙，甲乙 ", true, "甲乙/，/甲乙/ "},
        MixCase{"lone_separator", kMainWithoutWords, "", "。", true, "。"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MixSegment, RangesTileTheRange) {
  segtest::Resources res(kMain, "中\n");
  jieba::MixSegment seg(res.dict.get(), res.model.get());
  jieba::RuneStrArray runes;
  ASSERT_TRUE(jieba::DecodeRunesInString(std::string("甲乙甲乙中ab天地乙甲丢x.1"), runes));
  for (bool hmm : {true, false}) {
    std::vector<jieba::WordRange> ranges;
    seg.Cut(runes.begin(), runes.end(), ranges, hmm);
    ASSERT_FALSE(ranges.empty());
    EXPECT_EQ(ranges.front().first, runes.begin());
    EXPECT_EQ(ranges.back().last, runes.end() - 1);
    for (std::size_t i = 1; i < ranges.size(); ++i) {
      EXPECT_EQ(ranges[i].first, ranges[i - 1].last + 1) << "hmm=" << hmm << " i=" << i;
    }
  }
}

TEST(MixSegment, VirtualCutRunsTheHMMStage) {
  segtest::Resources res(kMainWithoutWords);
  jieba::MixSegment seg(res.dict.get(), res.model.get());
  const jieba::SegmentBase& base = seg;
  std::vector<std::string> words;
  base.Cut("甲乙", words);
  EXPECT_EQ(words, (std::vector<std::string>{"甲乙"}));
  EXPECT_EQ(seg.GetDictTrie(), res.dict.get());

  std::vector<jieba::Word> records;
  seg.Cut("天 甲乙", records, true);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[2].text, "甲乙");
  EXPECT_EQ(records[2].byte_offset, 4u);
  EXPECT_EQ(records[2].rune_offset, 2u);
  EXPECT_EQ(records[2].rune_length, 2u);
}

}  // namespace
