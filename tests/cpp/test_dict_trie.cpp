#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "lexical_test_support.h"
#include "tokenizer/jieba/DictTrie.h"

namespace jieba = lumo::typing::text::jieba;
namespace limonp = lumo::typing::text::limonp;
using jieba::DictTrie;
using jieba::DictUnit;
using lexical_test::Messages;
using lexical_test::TempDir;

namespace {

constexpr const char* kLabel = "csrc/tokenizer/jieba/DictTrie";

struct Loaded {
  std::unique_ptr<DictTrie> dict;
  std::vector<std::string> records;  // "LEVEL message"
  bool fatal = false;
};

Loaded Load(const std::string& dict_path, const std::string& user_path = "",
            DictTrie::UserWordWeightOption option = DictTrie::UserWordWeightMedian) {
  Loaded out;
  testing::internal::CaptureStderr();
  try {
    out.dict = std::make_unique<DictTrie>(dict_path, user_path, option);
  } catch (const limonp::FatalError&) {
    out.fatal = true;
  }
  out.records = Messages(testing::internal::GetCapturedStderr(), kLabel);
  return out;
}

const DictUnit* Lookup(const DictTrie& dict, const std::string& word) {
  jieba::RuneStrArray runes;
  EXPECT_TRUE(jieba::DecodeRunesInString(word, runes));
  return dict.Find(runes.begin(), runes.end());
}

// Main dictionary of four words with frequencies 1..4: weights ln 0.1 .. ln 0.4.
const std::string kFourWords = "\xE4\xB8\x80 1 m\n\xE4\xBA\x8C 4 m\n\xE4\xB8\x89 3 m\n\xE5\x9B\x9B 2 m\n";

TEST(DictTrieStatistics, SingleLineHasWeightZeroEverywhere) {
  TempDir dir;
  const Loaded l = Load(dir.Write("dict.txt", "\xE8\xAF\x8D 10 n"));  // no final newline
  ASSERT_TRUE(l.dict);
  EXPECT_TRUE(l.records.empty());
  EXPECT_EQ(l.dict->GetTotalFreq(), 10.0);
  ASSERT_EQ(l.dict->GetDictUnits().size(), 1u);
  EXPECT_EQ(l.dict->GetDictUnits()[0].weight, 0.0);
  EXPECT_EQ(l.dict->GetDictUnits()[0].tag, "n");
  EXPECT_EQ(l.dict->GetMinWeight(), 0.0);
  EXPECT_EQ(l.dict->GetMedianWeight(), 0.0);
  EXPECT_EQ(l.dict->GetMaxWeight(), 0.0);
  EXPECT_EQ(l.dict->GetUserWordWeight(), 0.0);
  EXPECT_EQ(Lookup(*l.dict, "\xE8\xAF\x8D"), &l.dict->GetDictUnits()[0]);
}

class DictTrieOption : public ::testing::TestWithParam<std::pair<int, double>> {};

// The median is the weight at index n / 2 of the ascending order: for four words the upper of
// the two middle values.
TEST_P(DictTrieOption, StatisticsAndUserWordWeight) {
  const auto [option, user_weight] = GetParam();
  TempDir dir;
  const Loaded l = Load(dir.Write("dict.txt", kFourWords), "", static_cast<DictTrie::UserWordWeightOption>(option));
  ASSERT_TRUE(l.dict);
  EXPECT_EQ(l.dict->GetTotalFreq(), 10.0);
  EXPECT_DOUBLE_EQ(l.dict->GetMinWeight(), std::log(0.1));
  EXPECT_DOUBLE_EQ(l.dict->GetMedianWeight(), std::log(0.3));
  EXPECT_DOUBLE_EQ(l.dict->GetMaxWeight(), std::log(0.4));
  EXPECT_DOUBLE_EQ(l.dict->GetUserWordWeight(), user_weight);
  // Entries keep file order.
  const std::vector<DictUnit>& units = l.dict->GetDictUnits();
  ASSERT_EQ(units.size(), 4u);
  EXPECT_DOUBLE_EQ(units[1].weight, std::log(0.4));
  EXPECT_DOUBLE_EQ(units[3].weight, std::log(0.2));
}

INSTANTIATE_TEST_SUITE_P(Options, DictTrieOption,
                         ::testing::Values(std::make_pair(0, std::log(0.1)), std::make_pair(1, std::log(0.3)),
                                           std::make_pair(2, std::log(0.4)), std::make_pair(7, std::log(0.4))));

TEST(DictTrieStatistics, OddCountMedianIsTheMiddleWeight) {
  TempDir dir;
  const Loaded l = Load(dir.Write("dict.txt", "a 5 x\nb 1 x\nc 2 x\nd 1 x\ne 1 x\n"));
  ASSERT_TRUE(l.dict);
  EXPECT_DOUBLE_EQ(l.dict->GetMedianWeight(), std::log(0.1));
  EXPECT_DOUBLE_EQ(l.dict->GetMaxWeight(), std::log(0.5));
}

struct LineCase {
  const char* name;
  std::string content;
  bool ok;
  std::string expected;  // tag of the first entry when the file loads, else the quoted line
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class DictTrieLines : public ::testing::TestWithParam<LineCase> {};

TEST_P(DictTrieLines, ColumnsAreCountedExactly) {
  const LineCase& c = GetParam();
  TempDir dir;
  const Loaded l = Load(dir.Write("dict.txt", c.content));
  if (c.ok) {
    ASSERT_TRUE(l.dict);
    EXPECT_TRUE(l.records.empty());
    EXPECT_EQ(l.dict->GetDictUnits()[0].tag, c.expected);
    return;
  }
  EXPECT_TRUE(l.fatal);
  EXPECT_FALSE(l.dict);
  ASSERT_EQ(l.records.size(), 1u);
  EXPECT_EQ(l.records[0], "FATAL exp: [buf.size() == DICT_COLUMN_NUM] false. split result illegal, line:" + c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Files, DictTrieLines,
    ::testing::Values(LineCase{"TrailingSpace", "a 1 n \nb 2 v\n", true, "n"},
                      LineCase{"CarriageReturnStaysInTag", "a 1 n\r\nb 2 v\r\n", true, "n\r"},
                      LineCase{"BlankLine", "a 1 n\n\nb 2 v\n", false, ""},
                      LineCase{"DoubleSpace", "a 1 n\nb  2 v\n", false, "b  2 v"},
                      LineCase{"TwoColumns", "a 1\n", false, "a 1"},
                      LineCase{"FourColumns", "a 1 n\nb 2 v x\n", false, "b 2 v x"},
                      LineCase{"TabIsNoSeparator", "a\t1\tn\n", false, "a\t1\tn"},
                      LineCase{"BlankLineAtEnd", "a 1 n\n\n", false, ""}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

TEST(DictTrieStatistics, UndecodableWordIsSkippedWithoutCounting) {
  TempDir dir;
  const Loaded clean = Load(dir.Write("clean.txt", kFourWords));
  const Loaded l = Load(dir.Write("dict.txt", kFourWords + "\xFF\xFE 1000 x\n"));
  ASSERT_TRUE(l.dict);
  ASSERT_TRUE(clean.dict);
  EXPECT_EQ(l.records, (std::vector<std::string>{"ERROR Decode \xFF\xFE failed."}));
  EXPECT_EQ(l.dict->GetDictUnits().size(), 4u);
  EXPECT_EQ(l.dict->GetTotalFreq(), clean.dict->GetTotalFreq());
  EXPECT_EQ(l.dict->GetMinWeight(), clean.dict->GetMinWeight());
  EXPECT_EQ(l.dict->GetMedianWeight(), clean.dict->GetMedianWeight());
  EXPECT_EQ(l.dict->GetMaxWeight(), clean.dict->GetMaxWeight());
}

TEST(DictTrieStatistics, NonNumericFrequencyReadsAsZero) {
  TempDir dir;
  const Loaded l = Load(dir.Write("dict.txt", "a 3 x\nb many x\nc 1.5e0abc x\n"));
  ASSERT_TRUE(l.dict);
  EXPECT_EQ(l.dict->GetTotalFreq(), 4.5);
  EXPECT_EQ(l.dict->GetDictUnits()[1].weight, -std::numeric_limits<double>::infinity());
  EXPECT_EQ(l.dict->GetMinWeight(), -std::numeric_limits<double>::infinity());
  EXPECT_DOUBLE_EQ(l.dict->GetDictUnits()[2].weight, std::log(1.5 / 4.5));
}

TEST(DictTrieStatistics, DuplicatedMainWordsAllCountAndTheLastIsFound) {
  TempDir dir;
  const Loaded l = Load(dir.Write("dict.txt", "a 3 x\na 1 y\n"));
  ASSERT_TRUE(l.dict);
  EXPECT_EQ(l.dict->GetTotalFreq(), 4.0);
  EXPECT_EQ(Lookup(*l.dict, "a"), &l.dict->GetDictUnits()[1]);
}

TEST(DictTrieStatistics, EmptyWordCountsButReachesNoTrieNode) {
  TempDir dir;
  const Loaded l = Load(dir.Write("dict.txt", " 6 x\na 2 y\n"));
  ASSERT_TRUE(l.dict);
  EXPECT_EQ(l.dict->GetTotalFreq(), 8.0);
  EXPECT_EQ(l.dict->GetDictUnits().size(), 2u);
  EXPECT_EQ(Lookup(*l.dict, ""), nullptr);
  EXPECT_EQ(Lookup(*l.dict, "a")->tag, "y");
}

struct FailureCase {
  const char* name;
  std::string content;  // nullopt-like: "<missing>" means no file at all
  std::string message;  // with PATH standing for the file's path
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class DictTrieFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(DictTrieFailure, FatalCheckWithItsRecordAndNoObject) {
  const FailureCase& c = GetParam();
  TempDir dir;
  const std::string path = c.content == "<missing>" ? dir.Path("missing.txt") : dir.Write("dict.txt", c.content);
  const Loaded l = Load(path);
  EXPECT_TRUE(l.fatal);
  EXPECT_FALSE(l.dict);
  std::string expected = c.message;
  const std::size_t at = expected.find("PATH");
  if (at != std::string::npos) {
    expected.replace(at, 4, path);
  }
  ASSERT_FALSE(l.records.empty());
  EXPECT_EQ(l.records.back(), "FATAL " + expected);
}

INSTANTIATE_TEST_SUITE_P(
    Files, DictTrieFailure,
    ::testing::Values(
        FailureCase{"Missing", "<missing>", "exp: [ifs.is_open()] false. open PATH failed."},
        FailureCase{"Empty", "", "exp: [!static_node_infos_.empty()] false. "},
        FailureCase{"OnlyUndecodable", "\xFF 3 x\n", "exp: [!static_node_infos_.empty()] false. "},
        // A zero or negative total would make every weight a NaN or an infinity of the wrong sign.
        FailureCase{"ZeroSum", "a 0 x\nb 0 y\n",
                    "exp: [total_freq_ > 0 && std::isfinite(total_freq_)] false. frequencies in PATH add up to 0; "
                    "they must add up to a positive finite number"},
        FailureCase{"NonNumericOnly", "a x x\n",
                    "exp: [total_freq_ > 0 && std::isfinite(total_freq_)] false. frequencies in PATH add up to 0; "
                    "they must add up to a positive finite number"},
        FailureCase{"SumOverflows", "a 1e308 x\nb 1e308 x\n",
                    "exp: [total_freq_ > 0 && std::isfinite(total_freq_)] false. frequencies in PATH add up to inf; "
                    "they must add up to a positive finite number"},
        FailureCase{"Negative", "a 5 x\nb -1 y\n",
                    "exp: [std::isfinite(freq) && freq >= 0] false. frequency must be a finite number of at least 0, "
                    "in PATH, line:b -1 y"},
        FailureCase{"NotANumber", "a 5 x\nb nan y\n",
                    "exp: [std::isfinite(freq) && freq >= 0] false. frequency must be a finite number of at least 0, "
                    "in PATH, line:b nan y"},
        FailureCase{"Infinite", "a inf x\n",
                    "exp: [std::isfinite(freq) && freq >= 0] false. frequency must be a finite number of at least 0, "
                    "in PATH, line:a inf x"},
        FailureCase{"OutOfRange", "a 1e400 x\n",
                    "exp: [std::isfinite(freq) && freq >= 0] false. frequency must be a finite number of at least 0, "
                    "in PATH, line:a 1e400 x"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// Main dictionary: one-rune 词 (10), two-rune 中文 (30): total 40, median ln(30/40).
const std::string kMain = "\xE8\xAF\x8D 10 n\n\xE4\xB8\xAD\xE6\x96\x87 30 nz\n";

TEST(DictTrieUser, ColumnCountsDecideWeightAndTag) {
  TempDir dir;
  const std::string user = dir.Write("user.txt",
                                     "\xE7\x94\xB2\n"                 // 甲: word only
                                     "\xE4\xB9\x99 v\n"               // 乙: word, tag
                                     "\n"                             // skipped without a record
                                     "\xE4\xB8\x99\xE4\xB8\x81 5 nz\n"  // 丙丁: word, frequency, tag
                                     "\xE6\x88\x8A 5.9 x\n"           // 戊: frequency read as 5
                                     "\xE5\xB7\xB1 1 2 3\n"           // 己: four columns, no effect
                                     "\xE5\xBA\x9A abc t\n"           // 庚: no digits, frequency 0
                                     "\xE8\xBE\x9B  t\n");            // 辛: two spaces make three columns
  const Loaded l = Load(dir.Write("dict.txt", kMain), user);
  ASSERT_TRUE(l.dict);
  EXPECT_TRUE(l.records.empty());
  const double median = std::log(30.0 / 40.0);
  EXPECT_DOUBLE_EQ(l.dict->GetUserWordWeight(), median);

  struct Expect {
    std::string word;
    double weight;
    std::string tag;
    bool single;
  } const expected[] = {
      {"\xE7\x94\xB2", median, "", true},
      {"\xE4\xB9\x99", median, "v", true},
      {"\xE4\xB8\x99\xE4\xB8\x81", std::log(5.0 / 40.0), "nz", false},
      {"\xE6\x88\x8A", std::log(5.0 / 40.0), "x", true},
      {"\xE5\xBA\x9A", -std::numeric_limits<double>::infinity(), "t", true},
      {"\xE8\xBE\x9B", -std::numeric_limits<double>::infinity(), "t", true},
  };
  for (const Expect& e : expected) {
    const DictUnit* unit = Lookup(*l.dict, e.word);
    ASSERT_NE(unit, nullptr) << e.word;
    EXPECT_DOUBLE_EQ(unit->weight, e.weight) << e.word;
    EXPECT_EQ(unit->tag, e.tag) << e.word;
    jieba::RuneArray runes;
    ASSERT_TRUE(jieba::DecodeRunesInString(e.word, runes));
    EXPECT_EQ(l.dict->IsSingleRuneUserWord(runes[0]), e.single) << e.word;
  }
  EXPECT_EQ(Lookup(*l.dict, "\xE5\xB7\xB1"), nullptr);
  EXPECT_EQ(l.dict->GetDictUnits().size(), 2u + 6u);
  // A one-rune main word is no user word, and user entries leave the statistics alone.
  EXPECT_FALSE(l.dict->IsSingleRuneUserWord(0x8BCD));
  EXPECT_EQ(l.dict->GetTotalFreq(), 40.0);
  EXPECT_DOUBLE_EQ(l.dict->GetMinWeight(), std::log(10.0 / 40.0));
  EXPECT_DOUBLE_EQ(l.dict->GetMaxWeight(), median);
}

TEST(DictTrieUser, UserEntryOverridesTheMainOne) {
  TempDir dir;
  const Loaded l = Load(dir.Write("dict.txt", kMain), dir.Write("user.txt", "\xE8\xAF\x8D 3 v\n"));
  ASSERT_TRUE(l.dict);
  const DictUnit* unit = Lookup(*l.dict, "\xE8\xAF\x8D");
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(unit->tag, "v");
  EXPECT_DOUBLE_EQ(unit->weight, std::log(3.0 / 40.0));
  EXPECT_EQ(l.dict->GetTotalFreq(), 40.0);
  EXPECT_TRUE(l.dict->IsSingleRuneUserWord(0x8BCD));
  // The overridden entry stays among the entries.
  EXPECT_EQ(l.dict->GetDictUnits().size(), 3u);
  EXPECT_EQ(l.dict->GetDictUnits()[0].tag, "n");
}

TEST(DictTrieUser, UndecodableUserWordIsReportedAndSkipped) {
  TempDir dir;
  const Loaded l = Load(dir.Write("dict.txt", kMain), dir.Write("user.txt", "\xE4\xB8 v\nok\n"));
  ASSERT_TRUE(l.dict);
  EXPECT_EQ(l.records, (std::vector<std::string>{"ERROR Decode \xE4\xB8 failed."}));
  EXPECT_EQ(l.dict->GetDictUnits().size(), 3u);
  EXPECT_NE(Lookup(*l.dict, "ok"), nullptr);
}

struct PathCase {
  const char* name;
  std::string list;        // file names joined by separators; "" for none
  std::string found_tag;   // tag of the word "w" afterwards ("" when it is not a word)
  std::size_t user_units;  // entries added by user dictionaries
  bool fatal;
};

void PrintTo(const PathCase& c, std::ostream* os) { *os << c.name; }

class DictTrieUserPaths : public ::testing::TestWithParam<PathCase> {};

// Files u1, u2, u3 each define the word w with the tags t1, t2, t3; a later file wins.
TEST_P(DictTrieUserPaths, ListsAreCutAtBarsAndSemicolons) {
  const PathCase& c = GetParam();
  TempDir dir;
  for (int i = 1; i <= 3; ++i) {
    dir.Write("u" + std::to_string(i), "w t" + std::to_string(i) + "\n");
  }
  std::string list;
  for (char ch : c.list) {
    list += (ch == '1' || ch == '2' || ch == '3') ? dir.Path(std::string("u") + ch) : std::string(1, ch);
  }
  const Loaded l = Load(dir.Write("dict.txt", kMain), list);
  if (c.fatal) {
    EXPECT_FALSE(l.dict);
    ASSERT_EQ(l.records.size(), 1u);
    EXPECT_EQ(l.records[0], "FATAL exp: [ifs.is_open()] false. open  failed");
    return;
  }
  ASSERT_TRUE(l.dict);
  EXPECT_TRUE(l.records.empty());
  EXPECT_EQ(l.dict->GetDictUnits().size(), 2u + c.user_units);
  const DictUnit* w = Lookup(*l.dict, "w");
  EXPECT_EQ(w == nullptr ? std::string() : w->tag, c.found_tag);
}

INSTANTIATE_TEST_SUITE_P(Lists, DictTrieUserPaths,
                         ::testing::Values(PathCase{"None", "", "", 0, false},
                                           PathCase{"One", "1", "t1", 1, false},
                                           PathCase{"ThreeMixed", "1;2|3", "t3", 3, false},
                                           PathCase{"ReversedOrder", "3|2;1", "t1", 3, false},
                                           PathCase{"TrailingSeparator", "2;", "t2", 1, false},
                                           PathCase{"DoubleSeparator", "1;;2", "", 0, true},
                                           PathCase{"LeadingSeparator", "|1", "", 0, true}),
                         [](const ::testing::TestParamInfo<PathCase>& info) { return std::string(info.param.name); });

TEST(DictTrieUser, MissingUserDictionaryStopsWithoutFinalPeriod) {
  TempDir dir;
  const std::string missing = dir.Path("nope.txt");
  const Loaded l = Load(dir.Write("dict.txt", kMain), missing);
  EXPECT_FALSE(l.dict);
  EXPECT_EQ(l.records, (std::vector<std::string>{"FATAL exp: [ifs.is_open()] false. open " + missing + " failed"}));
}

TEST(DictTrieUser, LastLineOfAFileWins) {
  TempDir dir;
  const Loaded l = Load(dir.Write("dict.txt", kMain), dir.Write("user.txt", "w a\nw b\n"));
  ASSERT_TRUE(l.dict);
  EXPECT_EQ(Lookup(*l.dict, "w")->tag, "b");
}

TEST(DictTrieQueries, DagForwardsToTheTrie) {
  TempDir dir;
  const Loaded l = Load(dir.Write("dict.txt", kMain));
  ASSERT_TRUE(l.dict);
  jieba::RuneStrArray runes;
  ASSERT_TRUE(jieba::DecodeRunesInString(std::string("\xE4\xB8\xAD\xE6\x96\x87\xE8\xAF\x8D"), runes));
  std::vector<jieba::Dag> dags;
  l.dict->Find(runes.begin(), runes.end(), dags, 512);
  ASSERT_EQ(dags.size(), 3u);
  ASSERT_EQ(dags[0].candidates.size(), 2u);
  EXPECT_EQ(dags[0].candidates[0].second, nullptr);
  EXPECT_EQ(dags[0].candidates[1].first, 1u);
  EXPECT_EQ(dags[0].candidates[1].second->tag, "nz");
  ASSERT_EQ(dags[2].candidates.size(), 1u);
  EXPECT_EQ(dags[2].candidates[0].second->tag, "n");
  // The exact look-up over bare runes agrees with the one over rune records.
  jieba::RuneArray bare;
  ASSERT_TRUE(jieba::DecodeRunesInString(std::string("\xE4\xB8\xAD\xE6\x96\x87"), bare));
  EXPECT_EQ(l.dict->Find(bare.begin(), bare.end()), dags[0].candidates[1].second);
}

}  // namespace
