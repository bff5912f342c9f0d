#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lexical_test_support.h"
#include "seg_test_support.h"
#include "tokenizer/jieba/Jieba.h"
#include "tokenizer/limonp/Logger.h"

namespace jieba = lumo::typing::text::jieba;
using lexical_test::ParseRecords;
using lexical_test::Record;
using segtest::Join;
using segtest::Lines;

namespace {

struct Files {
  segtest::TempDir dir;
  std::string dict = dir.Write("main.dict", Lines({"甲乙丙丁 50 n", "甲乙 5 n", "乙丙 5 n", "丙丁 5 n"}));
  std::string hmm = dir.Write("model.hmm", segtest::PlainModel());
  std::string user = dir.Write("user.dict", "中\n");
  std::string idf = dir.Write("idf.txt", "甲乙 2.5\n");
  std::string stop = dir.Write("stop.txt", "的\n");
};

TEST(JiebaFacade, CutAndCutForSearch) {
  Files f;
  const jieba::Jieba tok(f.dict, f.hmm, f.user, f.idf, f.stop);
  std::vector<std::string> words = {"stale"};
  tok.Cut("甲乙丙丁 甲中乙", words, true);
  EXPECT_EQ(Join(words), "甲乙丙丁/ /甲/中/乙");
  tok.CutForSearch("甲乙丙丁 甲中乙", words, true);
  EXPECT_EQ(Join(words), "甲乙/乙丙/丙丁/甲乙丙丁/ /甲/中/乙");
  tok.Cut("", words, true);
  EXPECT_TRUE(words.empty());
  tok.Cut("甲乙", words, false);
  EXPECT_EQ(Join(words), "甲乙");
  tok.Cut("a b", words, true);
  EXPECT_EQ(words, (std::vector<std::string>{"a", " ", "b"}));
  tok.Cut("a  b", words, true);
  EXPECT_EQ(words, (std::vector<std::string>{"a", " ", " ", "b"}));
}

TEST(JiebaFacade, EmptyUserDictionaryPath) {
  Files f;
  const jieba::Jieba tok(f.dict, f.hmm, "", f.idf, f.stop);
  std::vector<std::string> words;
  tok.Cut("甲中乙", words, true);
  EXPECT_EQ(Join(words), "甲中乙");
  EXPECT_FALSE(tok.GetDictTrie().IsSingleRuneUserWord(0x4E2D));
}

TEST(JiebaFacade, UserWordsWithoutFrequencyTakeTheMedianWeight) {
  Files f;
  const jieba::Jieba tok(f.dict, f.hmm, f.user, f.idf, f.stop);
  EXPECT_DOUBLE_EQ(tok.GetDictTrie().GetUserWordWeight(), tok.GetDictTrie().GetMedianWeight());
}

// The members are built over the facade's own resources.
TEST(JiebaFacade, AllSegmentersShareTheResources) {
  Files f;
  const jieba::Jieba tok(f.dict, f.hmm, f.user, f.idf, f.stop);
  EXPECT_EQ(tok.GetMPSegment().GetDictTrie(), &tok.GetDictTrie());
  EXPECT_EQ(tok.GetMixSegment().GetDictTrie(), &tok.GetDictTrie());
  std::vector<std::string> words;
  tok.GetFullSegment().Cut("甲乙丙丁", words);
  EXPECT_EQ(Join(words), "甲乙/甲乙丙丁/乙丙/丙丁");
  tok.GetHMMSegment().Cut("甲乙甲中乙", words);
  EXPECT_EQ(Join(words), "甲乙/甲中乙");
  tok.GetQuerySegment().Cut("甲乙丙丁", words);
  EXPECT_EQ(Join(words), "甲乙/乙丙/丙丁/甲乙丙丁");
}

struct BrokenCase {
  const char* name;
  const char* broken;   // which file: dict, hmm, user, idf, stop
  bool missing;         // missing file rather than a broken one
  std::string content;  // of the broken file
  std::string label;
  std::string message_start;
};

void PrintTo(const BrokenCase& c, std::ostream* os) { *os << c.name; }

class JiebaConstruction : public ::testing::TestWithParam<BrokenCase> {};

// A failed load writes the FATAL record and throws it out of the constructor: there is no
// tokenizer, and the exception carries the record's text.
TEST_P(JiebaConstruction, FailsWithTheFatalRecord) {
  const BrokenCase& c = GetParam();
  Files f;
  std::string* target = nullptr;
  const std::string which = c.broken;
  if (which == "dict") target = &f.dict;
  if (which == "hmm") target = &f.hmm;
  if (which == "user") target = &f.user;
  if (which == "idf") target = &f.idf;
  if (which == "stop") target = &f.stop;
  ASSERT_NE(target, nullptr);
  *target = c.missing ? f.dir.Path("absent") : f.dir.Write("broken", c.content);

  testing::internal::CaptureStderr();
  std::string what;
  try {
    jieba::Jieba tok(f.dict, f.hmm, f.user, f.idf, f.stop);
    ADD_FAILURE() << "constructed";
  } catch (const lumo::typing::text::limonp::FatalError& e) {
    what = e.what();
  }
  const std::vector<Record> records = ParseRecords(testing::internal::GetCapturedStderr());
  ASSERT_FALSE(records.empty());
  const Record& fatal = records.back();
  EXPECT_EQ(fatal.level, "FATAL");
  EXPECT_EQ(fatal.label, c.label);
  EXPECT_EQ(fatal.message.rfind(c.message_start, 0), 0u) << fatal.message;
  EXPECT_EQ(what, fatal.stamp + " " + fatal.label + ":" + std::to_string(fatal.line) + " FATAL " + fatal.message);
}

INSTANTIATE_TEST_SUITE_P(
    Files, JiebaConstruction,
    ::testing::Values(
        BrokenCase{"missing_dict", "dict", true, "", "csrc/tokenizer/jieba/DictTrie", "exp: [ifs.is_open()] false. open "},
        BrokenCase{"broken_dict_line", "dict", false, "甲乙 5\n", "csrc/tokenizer/jieba/DictTrie",
                   "exp: [buf.size() == DICT_COLUMN_NUM] false. split result illegal, line:甲乙 5"},
        BrokenCase{"missing_user_dict", "user", true, "", "csrc/tokenizer/jieba/DictTrie",
                   "exp: [ifs.is_open()] false. open "},
        BrokenCase{"missing_hmm", "hmm", true, "", "csrc/tokenizer/jieba/HMMModel", "exp: [ifile.is_open()] false. open "},
        BrokenCase{"short_hmm", "hmm", false, "0 0 0 0\n", "csrc/tokenizer/jieba/HMMModel",
                   "exp: [GetLine(ifile, line)] false. "},
        BrokenCase{"missing_idf", "idf", true, "", "csrc/tokenizer/jieba/KeywordExtractor",
                   "exp: [ifs.is_open()] false. open "},
        BrokenCase{"missing_stop_words", "stop", true, "", "csrc/tokenizer/jieba/KeywordExtractor",
                   "exp: [ifs.is_open()] false. open "}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
