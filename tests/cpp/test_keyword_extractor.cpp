#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lexical_test_support.h"
#include "tokenizer/jieba/KeywordExtractor.h"

namespace jieba = lumo::typing::text::jieba;
using lexical_test::Records;
using Strings = std::vector<std::string>;
using IdfMap = std::unordered_map<std::string, double>;

namespace {

// Builds the extractor over a real dictionary and model, as the tokenizer does.
class KeywordResources : public ::testing::Test {
 protected:
  KeywordResources()
      : dict_(dir_.Write("dict", "\xE4\xB8\xAD 3 n\n")),
        model_(dir_.Write("hmm", "0 0 0 0\n0 0 0 0\n0 0 0 0\n0 0 0 0\n0 0 0 0\na:-1\nb:-1\nc:-1\nd:-1\n")) {}

  std::unique_ptr<jieba::KeywordExtractor> Build(const std::string& idf_path, const std::string& stop_path) {
    std::unique_ptr<jieba::KeywordExtractor> extractor;
    records_ = Records("csrc/tokenizer/jieba/KeywordExtractor", [&] {
      extractor = std::make_unique<jieba::KeywordExtractor>(&dict_, &model_, idf_path, stop_path);
    });
    return extractor;
  }

  lexical_test::TempDir dir_;
  jieba::DictTrie dict_;
  jieba::HMMModel model_;
  Strings records_;
};

// (IDF file, map, average, records): empty and rejected lines count in the average's divisor,
// and a repeated word adds both of its values.
class IdfLoading : public KeywordResources,
                   public ::testing::WithParamInterface<std::tuple<std::string, IdfMap, double, Strings>> {};

TEST_P(IdfLoading, MapAverageAndRecords) {
  const auto& [text, map, average, records] = GetParam();
  const auto extractor = Build(dir_.Write("idf", text), dir_.Write("stop", ""));
  ASSERT_TRUE(extractor);
  EXPECT_EQ(extractor->GetIdfMap(), map);
  EXPECT_EQ(extractor->GetIdfAverage(), average);
  Strings expected = records;
  for (std::string& record : expected) {
    if (record.find("PATH") != std::string::npos) record.replace(record.find("PATH"), 4, dir_.Path("idf"));
  }
  EXPECT_EQ(records_, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Files, IdfLoading,
    ::testing::Values(
        std::make_tuple("\xE7\x94\xB2 2\n\n\xE4\xB9\x99 4\n", IdfMap{{"\xE7\x94\xB2", 2}, {"\xE4\xB9\x99", 4}}, 2.0,
                        Strings{"ERROR lineno: 1 empty. skipped."}),
        std::make_tuple("a 2\na 4\n", IdfMap{{"a", 4}}, 3.0, Strings{}),
        std::make_tuple("a 3\nb 1 2\n", IdfMap{{"a", 3}}, 1.5, Strings{"ERROR line: b 1 2, lineno: 1 empty. skipped."}),
        std::make_tuple("a  1\nb 5", IdfMap{{"b", 5}}, 2.5, Strings{"ERROR line: a  1, lineno: 0 empty. skipped."}),
        std::make_tuple("a 2.5\r\nb 1.5\r\n", IdfMap{{"a", 2.5}, {"b", 1.5}}, 2.0, Strings{}),
        // An idf that is not a finite number is reported with the file and skipped; the line
        // still counts in the divisor like the other rejected ones.
        std::make_tuple("a 3\nb x\n", IdfMap{{"a", 3}}, 1.5,
                        Strings{"ERROR line: b x, lineno: 1, in PATH: the idf is not a finite number. skipped."}),
        std::make_tuple("a 5abc\nb 6\nc nan\nd -inf\n", IdfMap{{"b", 6}}, 1.5,
                        Strings{"ERROR line: a 5abc, lineno: 0, in PATH: the idf is not a finite number. skipped.",
                                "ERROR line: c nan, lineno: 2, in PATH: the idf is not a finite number. skipped.",
                                "ERROR line: d -inf, lineno: 3, in PATH: the idf is not a finite number. skipped."})));

TEST_F(KeywordResources, EmptyIdfFileAndStopWordsKeptAsRead) {
  const auto extractor =
      Build(dir_.Write("idf", ""), dir_.Write("stop", "\xE7\x9A\x84\n\n\xE4\xBA\x86\r\n\xE7\x9A\x84\nend"));
  ASSERT_TRUE(extractor);
  EXPECT_TRUE(extractor->GetIdfMap().empty());
  EXPECT_EQ(extractor->GetIdfAverage(), 0.0);  // no lines: no average, rather than 0 / 0
  EXPECT_EQ(extractor->GetStopWords(), (std::unordered_set<std::string>{"\xE7\x9A\x84", "", "\xE4\xBA\x86\r", "end"}));
  EXPECT_TRUE(records_.empty());
}

// (IDF file exists, stop-word file exists): the IDF file is read first.
class MissingKeywordFile : public KeywordResources, public ::testing::WithParamInterface<std::tuple<bool, bool>> {};

TEST_P(MissingKeywordFile, StopsConstruction) {
  const auto [idf_exists, stop_exists] = GetParam();
  const std::string idf = idf_exists ? dir_.Write("idf", "a 1\n") : dir_.Path("no-idf");
  const std::string stop = stop_exists ? dir_.Write("stop", "x\n") : dir_.Path("no-stop");
  EXPECT_FALSE(Build(idf, stop));
  EXPECT_EQ(records_, Strings{"FATAL exp: [ifs.is_open()] false. open " + (idf_exists ? stop : idf) + " failed"});
}

INSTANTIATE_TEST_SUITE_P(Files, MissingKeywordFile,
                         ::testing::Values(std::make_tuple(false, true), std::make_tuple(true, false),
                                           std::make_tuple(false, false)));

}  // namespace
