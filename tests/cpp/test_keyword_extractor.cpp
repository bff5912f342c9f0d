#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lexical_test_support.h"
#include "tokenizer/jieba/KeywordExtractor.h"

namespace jieba = lumo::typing::text::jieba;
namespace limonp = lumo::typing::text::limonp;
using jieba::KeywordExtractor;
using lexical_test::Messages;
using lexical_test::TempDir;

namespace {

constexpr const char* kLabel = "csrc/tokenizer/jieba/KeywordExtractor";

// The extractor is built over a real dictionary and model, as the tokenizer builds it.
class KeywordResources : public ::testing::Test {
 protected:
  void SetUp() override {
    dict_ = std::make_unique<jieba::DictTrie>(dir_.Write("dict.txt", "\xE4\xB8\xAD 3 n\n\xE4\xB8\xAD\xE6\x96\x87 2 nz\n"));
    model_ = std::make_unique<jieba::HMMModel>(dir_.Write("hmm.model",
                                                          "-1 -2 -3 -4\n-1 -2 -3 -4\n-1 -2 -3 -4\n-1 -2 -3 -4\n"
                                                          "-1 -2 -3 -4\na:-1\nb:-1\nc:-1\nd:-1\n"));
  }

  // Builds an extractor from the given file texts; returns null when construction stopped.
  std::unique_ptr<KeywordExtractor> Build(const std::string& idf, const std::string& stop_words) {
    return BuildFromPaths(dir_.Write("idf.txt", idf), dir_.Write("stop.txt", stop_words));
  }

  std::unique_ptr<KeywordExtractor> BuildFromPaths(const std::string& idf_path, const std::string& stop_path) {
    std::unique_ptr<KeywordExtractor> extractor;
    testing::internal::CaptureStderr();
    try {
      extractor = std::make_unique<KeywordExtractor>(dict_.get(), model_.get(), idf_path, stop_path);
    } catch (const limonp::FatalError&) {
    }
    records_ = Messages(testing::internal::GetCapturedStderr(), kLabel);
    return extractor;
  }

  TempDir dir_;
  std::unique_ptr<jieba::DictTrie> dict_;
  std::unique_ptr<jieba::HMMModel> model_;
  std::vector<std::string> records_;
};

struct IdfCase {
  const char* name;
  std::string text;
  std::unordered_map<std::string, double> map;
  double average;
  std::vector<std::string> records;
};

void PrintTo(const IdfCase& c, std::ostream* os) { *os << c.name; }

class IdfLoading : public KeywordResources, public ::testing::WithParamInterface<IdfCase> {};

TEST_P(IdfLoading, MapAverageAndRecords) {
  const IdfCase& c = GetParam();
  const std::unique_ptr<KeywordExtractor> extractor = Build(c.text, "");
  ASSERT_TRUE(extractor);
  EXPECT_EQ(extractor->GetIdfMap(), c.map);
  EXPECT_DOUBLE_EQ(extractor->GetIdfAverage(), c.average);
  EXPECT_EQ(records_, c.records);
}

// Empty and rejected lines count in the divisor of the average; a repeated word adds both values.
INSTANTIATE_TEST_SUITE_P(
    Files, IdfLoading,
    ::testing::Values(
        IdfCase{"EmptyLineCounted",
                "\xE7\x94\xB2 2\n\n\xE4\xB9\x99 4\n",
                {{"\xE7\x94\xB2", 2.0}, {"\xE4\xB9\x99", 4.0}},
                2.0,
                {"ERROR lineno: 1 empty. skipped."}},
        IdfCase{"DuplicateKeepsLaterValue", "a 2\na 4\n", {{"a", 4.0}}, 3.0, {}},
        IdfCase{"ThreeColumns",
                "a 3\nb 1 2\n",
                {{"a", 3.0}},
                1.5,
                {"ERROR line: b 1 2, lineno: 1 empty. skipped."}},
        IdfCase{"DoubleSpace", "a  1\nb 5\n", {{"b", 5.0}}, 2.5, {"ERROR line: a  1, lineno: 0 empty. skipped."}},
        IdfCase{"OneColumn", "lonely\n", {}, 0.0, {"ERROR line: lonely, lineno: 0 empty. skipped."}},
        IdfCase{"CarriageReturnLeavesTheValue", "a 2.5\r\nb 1.5\r\n", {{"a", 2.5}, {"b", 1.5}}, 2.0, {}},
        IdfCase{"NonNumericIsZero", "a x\nb 4\n", {{"a", 0.0}, {"b", 4.0}}, 2.0, {}},
        IdfCase{"NoFinalNewline", "a 1\nb 2", {{"a", 1.0}, {"b", 2.0}}, 1.5, {}}),
    [](const ::testing::TestParamInfo<IdfCase>& info) { return std::string(info.param.name); });

TEST_F(KeywordResources, EmptyIdfFileGivesNoAverage) {
  const std::unique_ptr<KeywordExtractor> extractor = Build("", "");
  ASSERT_TRUE(extractor);
  EXPECT_TRUE(extractor->GetIdfMap().empty());
  EXPECT_TRUE(std::isnan(extractor->GetIdfAverage()));
  EXPECT_TRUE(records_.empty());
}

TEST_F(KeywordResources, StopWordsAreKeptAsRead) {
  const std::unique_ptr<KeywordExtractor> extractor = Build("a 1\n", "\xE7\x9A\x84\n\n\xE4\xBA\x86\r\n\xE7\x9A\x84\nend");
  ASSERT_TRUE(extractor);
  EXPECT_EQ(extractor->GetStopWords(),
            (std::unordered_set<std::string>{"\xE7\x9A\x84", "", "\xE4\xBA\x86\r", "end"}));
  EXPECT_TRUE(records_.empty());
}

TEST_F(KeywordResources, EmptyStopWordFileHoldsNothing) {
  const std::unique_ptr<KeywordExtractor> extractor = Build("a 1\n", "");
  ASSERT_TRUE(extractor);
  EXPECT_TRUE(extractor->GetStopWords().empty());
}

class MissingKeywordFile : public KeywordResources,
                           public ::testing::WithParamInterface<std::pair<bool, bool>> {};

// The IDF file is read first, so with both missing only its failure is reported.
TEST_P(MissingKeywordFile, StopsConstruction) {
  const auto [idf_exists, stop_exists] = GetParam();
  const std::string idf = idf_exists ? dir_.Write("idf.txt", "a 1\n") : dir_.Path("no-idf.txt");
  const std::string stop = stop_exists ? dir_.Write("stop.txt", "x\n") : dir_.Path("no-stop.txt");
  EXPECT_FALSE(BuildFromPaths(idf, stop));
  const std::string missing = idf_exists ? stop : idf;
  EXPECT_EQ(records_, (std::vector<std::string>{"FATAL exp: [ifs.is_open()] false. open " + missing + " failed"}));
}

INSTANTIATE_TEST_SUITE_P(Files, MissingKeywordFile,
                         ::testing::Values(std::make_pair(false, true), std::make_pair(true, false),
                                           std::make_pair(false, false)));

TEST_F(KeywordResources, EmptyPathsCannotBeOpened) {
  EXPECT_FALSE(BuildFromPaths("", dir_.Write("stop.txt", "x\n")));
  EXPECT_EQ(records_, (std::vector<std::string>{"FATAL exp: [ifs.is_open()] false. open  failed"}));
}

}  // namespace
