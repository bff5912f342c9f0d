#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "lexical_test_support.h"
#include "tokenizer/jieba/DictTrie.h"

namespace jieba = lumo::typing::text::jieba;
using jieba::DictTrie;
using jieba::DictUnit;
using lexical_test::Records;
using lexical_test::TempDir;
using Strings = std::vector<std::string>;

namespace {

const double kInf = INFINITY;

// Loads a dictionary with its records captured; `dict` stays null when construction stopped.
struct Loaded {
  Loaded(const std::string& dict_path, const std::string& user_path = "", int option = 1) {
    records = Records("csrc/tokenizer/jieba/DictTrie", [&] {
      dict = std::make_unique<DictTrie>(dict_path, user_path, static_cast<DictTrie::UserWordWeightOption>(option));
    });
  }
  const DictUnit* Find(const std::string& word) const {
    jieba::RuneStrArray runes;
    EXPECT_TRUE(jieba::DecodeRunesInString(word, runes));
    return dict->Find(runes.begin(), runes.end());
  }
  std::unique_ptr<DictTrie> dict;
  Strings records;
};

class DictTrieOption : public ::testing::TestWithParam<std::tuple<int, double>> {};

// Frequencies 1, 4, 3, 2: the median is the weight at index n / 2 of the ascending order, the
// upper of the two middle ones; options other than min and median choose the maximum.
TEST_P(DictTrieOption, StatisticsOfFourWords) {
  const auto [option, user_weight] = GetParam();
  TempDir dir;
  const Loaded l(dir.Write("d", "\xE4\xB8\x80 1 m\n\xE4\xBA\x8C 4 m\n\xE4\xB8\x89 3 m\n\xE5\x9B\x9B 2 m\n"), "",
                 option);
  ASSERT_TRUE(l.dict);
  EXPECT_EQ(l.dict->GetTotalFreq(), 10.0);
  EXPECT_EQ(std::make_tuple(l.dict->GetMinWeight(), l.dict->GetMedianWeight(), l.dict->GetMaxWeight()),
            std::make_tuple(std::log(0.1), std::log(0.3), std::log(0.4)));
  EXPECT_EQ(l.dict->GetUserWordWeight(), user_weight);
  EXPECT_EQ(l.dict->GetDictUnits()[3].weight, std::log(0.2));  // file order
}

INSTANTIATE_TEST_SUITE_P(Options, DictTrieOption,
                         ::testing::Values(std::make_tuple(0, std::log(0.1)), std::make_tuple(1, std::log(0.3)),
                                           std::make_tuple(2, std::log(0.4)), std::make_tuple(7, std::log(0.4))));

// (file, total frequency, weights of the entries in order, records)
class DictTrieMain : public ::testing::TestWithParam<std::tuple<std::string, double, std::vector<double>, Strings>> {};

TEST_P(DictTrieMain, EntriesAndTotal) {
  const auto& [text, total, weights, records] = GetParam();
  TempDir dir;
  const Loaded l(dir.Write("d", text));
  ASSERT_TRUE(l.dict);
  EXPECT_EQ(l.records, records);
  EXPECT_EQ(l.dict->GetTotalFreq(), total);
  std::vector<double> got;
  for (const DictUnit& unit : l.dict->GetDictUnits()) got.push_back(unit.weight);
  EXPECT_EQ(got, weights);
  EXPECT_EQ(l.dict->GetDictUnits().capacity(), weights.size());  // the trie points into final storage
  EXPECT_EQ(l.dict->GetMedianWeight(), l.dict->GetUserWordWeight());
}

INSTANTIATE_TEST_SUITE_P(
    Files, DictTrieMain,
    ::testing::Values(
        std::make_tuple("\xE8\xAF\x8D 10 n", 10.0, std::vector<double>{0.0}, Strings{}),  // no final newline
        std::make_tuple("a 1 n \nb 3 v\n", 4.0, std::vector<double>{std::log(0.25), std::log(0.75)}, Strings{}),
        // A word that cannot be decoded is skipped and not counted.
        std::make_tuple("a 1 x\n\xFF\xFE 1000 x\nb 1 y\n", 2.0, std::vector<double>{std::log(0.5), std::log(0.5)},
                        Strings{"ERROR Decode \xFF\xFE failed."}),
        std::make_tuple("a 3 x\nb 0 x\nc 1.5e0 x\n", 4.5,
                        std::vector<double>{std::log(3 / 4.5), -kInf, std::log(1.5 / 4.5)}, Strings{}),
        std::make_tuple(" 6 x\na 2 y\n", 8.0, std::vector<double>{std::log(0.75), std::log(0.25)}, Strings{})));

TEST(DictTrieMainFile, TagsKeepCarriageReturnAndLastDuplicateIsFound) {
  TempDir dir;
  const Loaded l(dir.Write("d", "a 3 x\r\na 1 y\r\n"));
  ASSERT_TRUE(l.dict);
  EXPECT_EQ(l.dict->GetTotalFreq(), 4.0);
  EXPECT_EQ(l.Find("a"), &l.dict->GetDictUnits()[1]);
  EXPECT_EQ(l.Find("a")->tag, "y\r");
  EXPECT_EQ(l.Find(""), nullptr);
}

// (file or "<missing>", the FATAL record's message with PATH for the file's path)
class DictTrieFailure : public ::testing::TestWithParam<std::tuple<std::string, std::string>> {};

TEST_P(DictTrieFailure, StopsWithItsRecord) {
  const auto& [text, message] = GetParam();
  TempDir dir;
  const std::string path = text == "<missing>" ? dir.Path("none") : dir.Write("d", text);
  const Loaded l(path);
  EXPECT_FALSE(l.dict);
  std::string expected = "FATAL " + message;
  if (expected.find("PATH") != std::string::npos) expected.replace(expected.find("PATH"), 4, path);
  EXPECT_EQ(l.records, Strings{expected});
}

const std::string kColumns = "exp: [buf.size() == DICT_COLUMN_NUM] false. split result illegal, line:";
const std::string kSum = "exp: [total_freq_ > 0 && std::isfinite(total_freq_)] false. frequencies in PATH add up to ";
const std::string kFreq =
    "exp: [is_number && std::isfinite(freq) && freq >= 0] false. frequency must be a finite number of at least 0, "
    "in PATH:";

INSTANTIATE_TEST_SUITE_P(
    Files, DictTrieFailure,
    ::testing::Values(std::make_tuple("<missing>", "exp: [ifs.is_open()] false. open PATH failed."),
                      std::make_tuple("", "exp: [!static_node_infos_.empty()] false. "),
                      std::make_tuple("a 1 n\n\nb 2 v\n", kColumns), std::make_tuple("a 1 n\n\n", kColumns),
                      std::make_tuple("a 1 n\nb  2 v\n", kColumns + "b  2 v"),
                      std::make_tuple("a 1\n", kColumns + "a 1"), std::make_tuple("a\t1\tn\n", kColumns + "a\t1\tn"),
                      std::make_tuple("b 2 v x\n", kColumns + "b 2 v x"),
                      // Weights must stay numbers: the total must be positive and finite, and so
                      // must each frequency be finite and not negative.
                      std::make_tuple("a 0 x\nb 0 y\n", kSum + "0; they must add up to a positive finite number"),
                      std::make_tuple("a 1e308 x\nb 1e308 x\n",
                                      kSum + "inf; they must add up to a positive finite number"),
                      std::make_tuple("a 5 x\nb -1 y\n", kFreq + "2, line:b -1 y"),
                      std::make_tuple("a nan x\n", kFreq + "1, line:a nan x"),
                      std::make_tuple("a inf x\n", kFreq + "1, line:a inf x"),
                      std::make_tuple("a 1e400 x\n", kFreq + "1, line:a 1e400 x"),
                      // The whole column is the number: text, a number with text after it, and
                      // the empty column between two spaces are no frequency of 0 or 5.
                      std::make_tuple("a 5 x\nb none y\n", kFreq + "2, line:b none y"),
                      std::make_tuple("a 1 x\nb 2 x\nc 5abc y\n", kFreq + "3, line:c 5abc y"),
                      std::make_tuple("a  y\n", kFreq + "1, line:a  y"),
                      std::make_tuple("a 7 n\nb 5 y\nc  x \n", kFreq + "3, line:c  x ")));

// A word longer than the longest word the segmenters look up is loaded but reported, with its
// file and line; one of exactly that length is not.
TEST(DictTrieMainFile, WordsBeyondTheLookUpLimitAreReported) {
  TempDir dir;
  std::string longest;
  for (int i = 0; i < 512; ++i) longest += "\xE4\xB8\xAD";
  const std::string path = dir.Write("d", "a 1 n\n" + longest + " 2 n\n" + longest + "x 3 n\n");
  const Loaded l(path);
  ASSERT_TRUE(l.dict);
  EXPECT_EQ(l.records, Strings{"ERROR word of 513 runes in " + path +
                               ":3 is longer than the 512-rune maximum; "
                               "no cut returns it"});
  EXPECT_EQ(l.dict->GetDictUnits().size(), 3u);
  EXPECT_EQ(l.dict->GetTotalFreq(), 6.0);
}

// Main dictionary 词 10 and 中文 30: total 40, weights ln 0.25 and ln 0.75 (the median).
const std::string kMain = "\xE8\xAF\x8D 10 n\n\xE4\xB8\xAD\xE6\x96\x87 30 nz\n";

// (user line, word, weight, tag): the column count decides; 5.9 and 5abc read as 5.
class DictTrieUserLine : public ::testing::TestWithParam<std::tuple<std::string, std::string, double, std::string>> {};

TEST_P(DictTrieUserLine, WeightTagAndSingleRune) {
  const auto& [line, word, weight, tag] = GetParam();
  TempDir dir;
  const Loaded l(dir.Write("d", kMain), dir.Write("u", "\n" + line + "\n\xE5\xB7\xB1 1 2 3\n"));
  ASSERT_TRUE(l.dict);
  EXPECT_TRUE(l.records.empty());
  const DictUnit* unit = l.Find(word);
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(std::make_tuple(unit->weight, unit->tag), std::make_tuple(weight, tag));
  EXPECT_EQ(l.dict->IsSingleRuneUserWord(unit->word[0]), unit->word.size() == 1);
  EXPECT_EQ(l.dict->IsSingleRuneUserWord(0x8BCD), word == "\xE8\xAF\x8D");  // 词 is a main word
  EXPECT_EQ(l.Find("\xE5\xB7\xB1"), nullptr);                               // four columns: no effect
  EXPECT_EQ(l.dict->GetDictUnits().size(), 3u);
  EXPECT_EQ(std::make_tuple(l.dict->GetTotalFreq(), l.dict->GetMinWeight(), l.dict->GetMaxWeight()),
            std::make_tuple(40.0, std::log(0.25), std::log(0.75)));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DictTrieUserLine,
    ::testing::Values(std::make_tuple("\xE7\x94\xB2", "\xE7\x94\xB2", std::log(0.75), ""),
                      std::make_tuple("\xE4\xB9\x99 v", "\xE4\xB9\x99", std::log(0.75), "v"),
                      std::make_tuple("\xE4\xB8\x99\xE4\xB8\x81 5 nz", "\xE4\xB8\x99\xE4\xB8\x81", std::log(5 / 40.0),
                                      "nz"),
                      std::make_tuple("\xE6\x88\x8A 5.9 x", "\xE6\x88\x8A", std::log(5 / 40.0), "x"),
                      std::make_tuple("\xE5\xBA\x9A 5abc t", "\xE5\xBA\x9A", std::log(5 / 40.0), "t"),
                      // A user word that is also a main word overrides it; the total keeps the main one.
                      std::make_tuple("\xE8\xAF\x8D 3 v", "\xE8\xAF\x8D", std::log(3 / 40.0), "v")));

// (frequency column): no whole number of at least 1, which would make a weight of -inf or NaN.
// The line is reported with its file and line number and skipped; the loading goes on.
class DictTrieUserFrequency : public ::testing::TestWithParam<std::string> {};

TEST_P(DictTrieUserFrequency, LineIsReportedAndSkipped) {
  TempDir dir;
  const std::string line = "\xE5\xBA\x9A" + GetParam() + " t";
  const std::string user = dir.Write("u", "\xE7\x94\xB2\n" + line + "\n\xE4\xB9\x99 2 v\n");
  const Loaded l(dir.Write("d", kMain), user);
  ASSERT_TRUE(l.dict);
  EXPECT_EQ(l.records,
            Strings{"ERROR frequency must be a whole number of at least 1, in " + user + ":2, line skipped:" + line});
  EXPECT_EQ(l.Find("\xE5\xBA\x9A"), nullptr);
  EXPECT_FALSE(l.dict->IsSingleRuneUserWord(0x5E9A));
  EXPECT_EQ(l.Find("\xE4\xB9\x99")->weight, std::log(2 / 40.0));  // the lines after it still load
  for (const DictUnit& unit : l.dict->GetDictUnits()) EXPECT_TRUE(std::isfinite(unit.weight));
}

INSTANTIATE_TEST_SUITE_P(Frequencies, DictTrieUserFrequency,
                         ::testing::Values(" abc", " ", " 0", " -3", " 0.9", " -0"));

TEST(DictTrieUser, UndecodableWordIsReportedAndLastLineWins) {
  TempDir dir;
  const Loaded l(dir.Write("d", kMain), dir.Write("u", "\xE4\xB8 v\nw a\nw b\n"));
  ASSERT_TRUE(l.dict);
  EXPECT_EQ(l.records, Strings{"ERROR Decode \xE4\xB8 failed."});
  EXPECT_EQ(l.Find("w")->tag, "b");
  EXPECT_EQ(l.dict->GetDictUnits().size(), 4u);
}

// (path list over files 1, 2, 3, each defining the word w with tag t1, t2, t3; tag of w after
// loading, or "!" for the failure at an empty path; user entries loaded)
class DictTrieUserPaths : public ::testing::TestWithParam<std::tuple<std::string, std::string, int>> {};

TEST_P(DictTrieUserPaths, ListsAreCutAtBarsAndSemicolons) {
  const auto& [pattern, tag, entries] = GetParam();
  TempDir dir;
  std::string list;
  for (char ch : pattern) {
    list += std::isdigit(ch) ? dir.Write(std::string(1, ch), std::string("w t") + ch + "\n") : std::string(1, ch);
  }
  const Loaded l(dir.Write("d", kMain), list);
  if (tag == "!") {
    EXPECT_FALSE(l.dict);
    EXPECT_EQ(l.records, Strings{"FATAL exp: [ifs.is_open()] false. open  failed"});
    return;
  }
  ASSERT_TRUE(l.dict);
  EXPECT_EQ(l.dict->GetDictUnits().size(), 2u + entries);
  EXPECT_EQ(entries ? l.Find("w")->tag : "", tag);
}

INSTANTIATE_TEST_SUITE_P(Lists, DictTrieUserPaths,
                         ::testing::Values(std::make_tuple("", "", 0), std::make_tuple("1;2|3", "t3", 3),
                                           std::make_tuple("3|2;1", "t1", 3), std::make_tuple("2;", "t2", 1),
                                           std::make_tuple("1;;2", "!", 0), std::make_tuple("|1", "!", 0)));

TEST(DictTrieUser, MissingFileStopsWithoutFinalPeriod) {
  TempDir dir;
  const Loaded l(dir.Write("d", kMain), dir.Path("none"));
  EXPECT_FALSE(l.dict);
  EXPECT_EQ(l.records, Strings{"FATAL exp: [ifs.is_open()] false. open " + dir.Path("none") + " failed"});
}

}  // namespace
