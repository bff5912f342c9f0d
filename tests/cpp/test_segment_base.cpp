#include <gtest/gtest.h>

#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "lexical_test_support.h"
#include "seg_test_support.h"
#include "tokenizer/jieba/HMMSegment.h"
#include "tokenizer/jieba/MixSegment.h"
#include "tokenizer/jieba/PreFilter.h"
#include "tokenizer/jieba/SegmentBase.h"

namespace jieba = lumo::typing::text::jieba;
using jieba::Rune;
using lexical_test::ParseRecords;
using lexical_test::Record;

namespace {

constexpr const char* kSegmentBase = "csrc/tokenizer/jieba/SegmentBase";
constexpr const char* kPreFilter = "csrc/tokenizer/jieba/PreFilter";

// The smallest concrete segmenter: every piece the filter hands out becomes one word, so the
// driver's own behaviour shows directly.
class PieceSegment : public jieba::SegmentBase {
 public:
  void Cut(const std::string& sentence, std::vector<std::string>& words) const override {
    CutSentence(sentence, words, Pieces);
  }
  void Cut(const std::string& sentence, std::vector<jieba::Word>& words) const {
    CutSentence(sentence, words, Pieces);
  }
  using SegmentBase::ResetSeparators;

 private:
  static void Pieces(jieba::RuneStrArray::const_iterator b, jieba::RuneStrArray::const_iterator e,
                     std::vector<jieba::WordRange>& out) {
    out.emplace_back(b, e - 1);
  }
};

TEST(Separators, DefaultSetHoldsExactlyTheFiveRunes) {
  PieceSegment seg;
  const std::unordered_set<Rune> expected = {0x20, 0x09, 0x0A, 0xFF0C, 0x3002};
  EXPECT_EQ(seg.Separators(), expected);
  EXPECT_EQ(std::string(jieba::SPECIAL_SEPARATORS).size(), 9u);
}

struct ResetCase {
  const char* name;
  std::string text;
  bool ok;
  std::unordered_set<Rune> kept;
  int line;             // 0: no record
  std::string message;  // of the ERROR record
};

void PrintTo(const ResetCase& c, std::ostream* os) { *os << c.name; }

class ResetSeparators : public ::testing::TestWithParam<ResetCase> {};

TEST_P(ResetSeparators, ReplacesTheSetOrReportsWhy) {
  const ResetCase& c = GetParam();
  PieceSegment seg;
  testing::internal::CaptureStderr();
  EXPECT_EQ(seg.ResetSeparators(c.text), c.ok);
  const std::vector<Record> records = ParseRecords(testing::internal::GetCapturedStderr());
  EXPECT_EQ(seg.Separators(), c.kept);
  if (c.line == 0) {
    EXPECT_TRUE(records.empty());
    return;
  }
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].label, kSegmentBase);
  EXPECT_EQ(records[0].line, c.line);
  EXPECT_EQ(records[0].level, "ERROR");
  EXPECT_EQ(records[0].message, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ResetSeparators,
    ::testing::Values(ResetCase{"ascii", "ab", true, {'a', 'b'}, 0, ""},
                      ResetCase{"empty", "", true, {}, 0, ""},
                      ResetCase{"repeat_keeps_prefix", "abca", false, {'a', 'b', 'c'}, 37, "a already exists"},
                      ResetCase{"repeat_multibyte", "甲乙甲", false, {0x7532, 0x4E59}, 37, "甲 already exists"},
                      ResetCase{"undecodable", "a\xFF", false, {}, 32, "decode a\xFF failed"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Separators, ResetChangesWhatTheDriverSplitsAt) {
  PieceSegment seg;
  ASSERT_TRUE(seg.ResetSeparators("-"));
  std::vector<std::string> words;
  seg.Cut("a b-c", words);
  EXPECT_EQ(words, (std::vector<std::string>{"a b", "-", "c"}));
}

// Pieces as rune positions [begin, end) of the decoded sentence.
std::vector<std::pair<std::size_t, std::size_t>> Pieces(const std::string& sentence) {
  const std::unordered_set<Rune> seps = {0x20, 0x09, 0x0A, 0xFF0C, 0x3002};
  jieba::PreFilter filter(seps, sentence);
  std::vector<std::pair<std::size_t, std::size_t>> out;
  const auto* base = filter.Runes().begin();
  while (filter.HasNext()) {
    const jieba::PreFilter::Range r = filter.Next();
    out.emplace_back(r.begin - base, r.end - base);
  }
  return out;
}

struct PieceCase {
  const char* name;
  std::string sentence;
  std::vector<std::pair<std::size_t, std::size_t>> pieces;
};

void PrintTo(const PieceCase& c, std::ostream* os) { *os << c.name; }

class PreFilterPieces : public ::testing::TestWithParam<PieceCase> {};

TEST_P(PreFilterPieces, SplitsAtEachSeparatorRune) {
  EXPECT_EQ(Pieces(GetParam().sentence), GetParam().pieces);
}

INSTANTIATE_TEST_SUITE_P(
    Sentences, PreFilterPieces,
    ::testing::Values(PieceCase{"empty", "", {}}, PieceCase{"one_separator", " ", {{0, 1}}},
                      PieceCase{"no_separator", "甲乙c", {{0, 3}}},
                      PieceCase{"a_space_b", "a b", {{0, 1}, {1, 2}, {2, 3}}},
                      PieceCase{"leading_and_trailing", "\tab\n", {{0, 1}, {1, 3}, {3, 4}}},
                      PieceCase{"two_in_a_row", "a  b", {{0, 1}, {1, 2}, {2, 3}, {3, 4}}},
                      PieceCase{"fullwidth_punctuation", "甲，乙。", {{0, 1}, {1, 2}, {2, 3}, {3, 4}}},
                      PieceCase{"ordinary_runes", "a\rb\xE3\x80\x80" "c,d.e", {{0, 9}}},
                      PieceCase{"only_separators", " \t\n，。", {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PreFilter, UndecodableSentenceGivesNoPieceAndOneRecord) {
  testing::internal::CaptureStderr();
  const auto pieces = Pieces("ab\xE4\xB8");
  const std::string captured = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(pieces.empty());
  const std::vector<Record> records = ParseRecords(captured);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].label, kPreFilter);
  EXPECT_EQ(records[0].line, 24);
  EXPECT_EQ(records[0].level, "ERROR");
  EXPECT_EQ(records[0].message, "decode failed. ");
}

TEST(SentenceDriver, ReplacesWhatTheOutputHeld) {
  PieceSegment seg;
  std::vector<std::string> words = {"old", "older", "oldest", "x"};
  seg.Cut("ab，c", words);
  EXPECT_EQ(words, (std::vector<std::string>{"ab", "，", "c"}));
  seg.Cut("", words);
  EXPECT_TRUE(words.empty());

  std::vector<jieba::Word> records(3);
  testing::internal::CaptureStderr();
  seg.Cut("\xFF", records);
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(records.empty());
}

TEST(SentenceDriver, WordRecordsCarryByteAndRuneOffsets) {
  PieceSegment seg;
  std::vector<jieba::Word> words;
  seg.Cut("甲乙 c，", words);
  ASSERT_EQ(words.size(), 4u);
  const std::vector<std::string> texts = {"甲乙", " ", "c", "，"};
  const std::vector<std::uint32_t> bytes = {0, 6, 7, 8};
  const std::vector<std::uint32_t> runes = {0, 2, 3, 4};
  const std::vector<std::uint32_t> lengths = {2, 1, 1, 1};
  for (std::size_t i = 0; i < words.size(); ++i) {
    EXPECT_EQ(words[i].text, texts[i]) << i;
    EXPECT_EQ(words[i].byte_offset, bytes[i]) << i;
    EXPECT_EQ(words[i].rune_offset, runes[i]) << i;
    EXPECT_EQ(words[i].rune_length, lengths[i]) << i;
  }
}

// Every segmenter of the family shares the separator handling: a separator is a word of its own
// however the range-level cut would treat it.
TEST(SentenceDriver, SeparatorsAreWordsInEverySegmenter) {
  segtest::Resources res(segtest::ZERO_MAIN_DICT);
  jieba::HMMSegment hmm(res.model.get());
  jieba::MixSegment mix(res.dict.get(), res.model.get());
  const std::string sentence = "甲乙 甲乙\t，。\n";
  const std::vector<std::string> expected = {"甲乙", " ", "甲乙", "\t", "，", "。", "\n"};
  std::vector<std::string> words;
  hmm.Cut(sentence, words);
  EXPECT_EQ(words, expected);
  mix.Cut(sentence, words);
  EXPECT_EQ(words, expected);
}

}  // namespace
