#include <gtest/gtest.h>

#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "lexical_test_support.h"
#include "tokenizer/jieba/PreFilter.h"
#include "tokenizer/jieba/SegmentBase.h"

namespace jieba = lumo::typing::text::jieba;
using jieba::Rune;

namespace {

// Every piece the filter hands out becomes one word, so the driver shows directly.
class PieceSegment : public jieba::SegmentBase {
 public:
  void Cut(const std::string& sentence, std::vector<std::string>& words) const override {
    CutSentence(sentence, words, Pieces);
  }
  void Cut(const std::string& sentence, std::vector<jieba::Word>& words) const { CutSentence(sentence, words, Pieces); }

 private:
  static void Pieces(const jieba::RuneStr* b, const jieba::RuneStr* e, std::vector<jieba::WordRange>& out) {
    out.emplace_back(b, e - 1);
  }
};

// One ERROR record (or none when line is 0) from `unit` at `line` with `message`.
void ExpectRecord(const std::string& captured, const std::string& unit, int line, const std::string& message) {
  std::vector<int> lines;
  const std::vector<std::string> records = lexical_test::ParseRecords(captured, "csrc/tokenizer/jieba/" + unit, &lines);
  if (line == 0) {
    EXPECT_TRUE(records.empty()) << captured;
  } else {
    EXPECT_EQ(records, std::vector<std::string>{"ERROR " + message});
    EXPECT_EQ(lines, std::vector<int>{line});
  }
}

struct ResetCase {
  std::string text;
  bool ok;
  std::unordered_set<Rune> kept;
  int line;
  std::string message;
};

class ResetSeparators : public ::testing::TestWithParam<ResetCase> {};

TEST_P(ResetSeparators, ReplacesTheSetOrReportsWhy) {
  const ResetCase& c = GetParam();
  PieceSegment seg;
  EXPECT_EQ(seg.Separators(), (std::unordered_set<Rune>{0x20, 0x09, 0x0A, 0xFF0C, 0x3002}));
  testing::internal::CaptureStderr();
  EXPECT_EQ(seg.ResetSeparators(c.text), c.ok);
  ExpectRecord(testing::internal::GetCapturedStderr(), "SegmentBase", c.line, c.message);
  EXPECT_EQ(seg.Separators(), c.kept);
}

INSTANTIATE_TEST_SUITE_P(Texts, ResetSeparators,
                         ::testing::Values(ResetCase{"ab", true, {'a', 'b'}, 0, ""}, ResetCase{"", true, {}, 0, ""},
                                           ResetCase{"abca", false, {'a', 'b', 'c'}, 37, "a already exists"},
                                           ResetCase{"甲乙甲", false, {0x7532, 0x4E59}, 37, "甲 already exists"},
                                           ResetCase{"a\xFF", false, {}, 32, "decode a\xFF failed"}));

struct DriveCase {
  std::string sentence;
  std::vector<std::string> words;
};

class SentenceDriver : public ::testing::TestWithParam<DriveCase> {};

// A sentence splits into maximal separator-free runs and single separators, in order.
TEST_P(SentenceDriver, PiecesAtEachSeparatorRune) {
  PieceSegment seg;
  std::vector<std::string> words = {"old", "older", "oldest", "x", "y", "z"};
  seg.Cut(GetParam().sentence, words);
  EXPECT_EQ(words, GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(Sentences, SentenceDriver,
                         ::testing::Values(DriveCase{"", {}}, DriveCase{" ", {" "}}, DriveCase{"a b", {"a", " ", "b"}},
                                           DriveCase{"\tab\n", {"\t", "ab", "\n"}},
                                           DriveCase{"a  b", {"a", " ", " ", "b"}},
                                           DriveCase{"甲，乙。", {"甲", "，", "乙", "。"}},
                                           DriveCase{"a\rb\u3000c,d.e", {"a\rb\u3000c,d.e"}},
                                           DriveCase{" \t\n，。", {" ", "\t", "\n", "，", "。"}}));

TEST(SentenceDriver, UndecodableSentenceGivesNothingAndOneRecord) {
  PieceSegment seg;
  std::vector<jieba::Word> words(3);
  testing::internal::CaptureStderr();
  seg.Cut("ab\xE4\xB8", words);
  ExpectRecord(testing::internal::GetCapturedStderr(), "PreFilter", 24, "decode failed. ");
  EXPECT_TRUE(words.empty());
}

TEST(SentenceDriver, WordRecordsCarryByteAndRuneOffsets) {
  PieceSegment seg;
  std::vector<jieba::Word> words;
  seg.Cut("甲乙 c，", words);
  std::vector<std::vector<std::uint32_t>> got;
  for (const jieba::Word& w : words) got.push_back({w.byte_offset, w.rune_offset, w.rune_length});
  EXPECT_EQ(got, (std::vector<std::vector<std::uint32_t>>{{0, 0, 2}, {6, 2, 1}, {7, 3, 1}, {8, 4, 1}}));
  EXPECT_EQ(words[0].text, "甲乙");
}

}  // namespace
