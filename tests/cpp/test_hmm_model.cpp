#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "lexical_test_support.h"
#include "tokenizer/jieba/HMMModel.h"

namespace jieba = lumo::typing::text::jieba;
using jieba::HMMModel;
using lexical_test::Records;
using lexical_test::TempDir;
using Strings = std::vector<std::string>;

namespace {

constexpr const char* kLabel = "csrc/tokenizer/jieba/HMMModel";
constexpr jieba::Rune kZhong = 0x4E2D, kWen = 0x6587;  // 中, 文

// The nine significant lines of a small model, in file order.
Strings NineLines() {
  return {"-0.5 -3.14e+100 -3.14e+100 -1.5",
          "-3.14e+100 -0.25 -1.25 -3.14e+100",
          "-0.75 -3.14e+100 -3.14e+100 -0.625",
          "-3.14e+100 -0.125 -2.5 -3.14e+100",
          "-0.375 0 1.5 -1.125",
          "\xE4\xB8\xAD:-1.5,\xE6\x96\x87:-2.5",
          "\xE4\xB8\xAD:-3.5",
          "\xE6\x96\x87:-4.5,a:0e0",
          "\xE4\xB8\xAD:-6.5,\xE4\xB8\xAD:-7.5,"};  // a repeated rune keeps the later value
}

std::string Join(const Strings& lines, const std::string& before = "", const std::string& after = "\n") {
  std::string text;
  for (const std::string& line : lines) text += before + line + after;
  return text;
}

std::unique_ptr<HMMModel> Load(const std::string& path, Strings* records) {
  std::unique_ptr<HMMModel> model;
  *records = Records(kLabel, [&] { model = std::make_unique<HMMModel>(path); });
  return model;
}

class HMMModelParse : public ::testing::TestWithParam<std::string> {};

// Comments (indented too), blank lines, white space and CR around lines are not significant,
// and nothing after the ninth significant line is read.
TEST_P(HMMModelParse, NineSignificantLines) {
  TempDir dir;
  Strings records;
  const auto m = Load(dir.Write("hmm", GetParam()), &records);
  ASSERT_TRUE(m);
  EXPECT_TRUE(records.empty());
  EXPECT_EQ(std::make_tuple(m->startLogProb[0], m->startLogProb[1], m->startLogProb[3]),
            std::make_tuple(-0.5, -3.14e+100, -1.5));
  EXPECT_EQ(std::make_tuple(m->transLogProb[0][2], m->transLogProb[1][3], m->transLogProb[2][1]),
            std::make_tuple(-1.25, -0.625, -0.125));
  EXPECT_EQ(std::make_tuple(m->transLogProb[3][0], m->transLogProb[3][1], m->transLogProb[3][2]),
            std::make_tuple(-0.375, 0.0, 1.5));
  EXPECT_EQ(std::make_tuple(m->EmitLogProb(HMMModel::B, kWen), m->EmitLogProb(HMMModel::E, kZhong),
                            m->EmitLogProb(HMMModel::M, 'a'), m->EmitLogProb(HMMModel::S, kZhong)),
            std::make_tuple(-2.5, -3.5, 0.0, -7.5));
  EXPECT_EQ(m->emitProbS.size(), 1u);
  for (std::size_t state = 0; state < HMMModel::STATUS_SUM; ++state) {
    EXPECT_EQ(m->EmitLogProb(state, 0x4E00), jieba::MIN_LOG_PROB);
  }
  EXPECT_EQ(m->emitProbByState[HMMModel::M], &m->emitProbM);
  // The all-states row agrees with the per-state lookups, for runes known to some maps only,
  // to all, and to none.
  for (jieba::Rune rune : {kZhong, kWen, jieba::Rune{'a'}, jieba::Rune{0x4E00}, jieba::Rune{0}}) {
    const auto& row = m->EmitLogProbs(rune);
    for (std::size_t state = 0; state < HMMModel::STATUS_SUM; ++state) {
      EXPECT_EQ(row[state], m->EmitLogProb(state, rune)) << rune << " " << state;
    }
  }
}

std::string Utf8(jieba::Rune r) {
  std::string out;
  if (r < 0x800) {
    out += static_cast<char>(0xC0 | (r >> 6));
  } else if (r < 0x10000) {
    out += static_cast<char>(0xE0 | (r >> 12));
    out += static_cast<char>(0x80 | ((r >> 6) & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (r >> 18));
    out += static_cast<char>(0x80 | ((r >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((r >> 6) & 0x3F));
  }
  out += static_cast<char>(0x80 | (r & 0x3F));
  return out;
}

// Many runes, spread over the code space so that they collide in the combined table: every
// state's value is the one its own map holds.
TEST(HMMModelEmissions, RowsAgreeWithTheMapsForManyRunes) {
  TempDir dir;
  std::string lines = Join({"-1 -1 -1 -1", "-1 -1 -1 -1", "-1 -1 -1 -1", "-1 -1 -1 -1", "-1 -1 -1 -1"});
  std::vector<jieba::Rune> runes;
  for (jieba::Rune r = 0x4E00; r < 0x4E00 + 3000; r += 7) runes.push_back(r);
  for (jieba::Rune r = 0x10000; r < 0x10000 + 65536 * 4; r += 65536) runes.push_back(r);
  for (std::size_t state = 0; state < HMMModel::STATUS_SUM; ++state) {
    std::string line;
    for (std::size_t k = 0; k < runes.size(); ++k) {
      if ((k + state) % (state + 2) == 0) continue;  // each state knows a different subset
      line += Utf8(runes[k]) + ":-" + std::to_string(k * 4 + state + 1) + ",";
    }
    lines += line.substr(0, line.size() - 1) + "\n";
  }
  Strings records;
  const auto m = Load(dir.Write("hmm", lines), &records);
  ASSERT_TRUE(m);
  ASSERT_TRUE(records.empty());
  ASSERT_EQ(m->EmitLogProbs(runes[1])[HMMModel::B], -5.0);                 // k = 1, state B: known
  ASSERT_EQ(m->EmitLogProbs(runes[0])[HMMModel::B], jieba::MIN_LOG_PROB);  // k = 0: left out
  for (jieba::Rune rune : runes) {
    for (jieba::Rune probe : {rune, rune + 1}) {
      const auto& row = m->EmitLogProbs(probe);
      for (std::size_t state = 0; state < HMMModel::STATUS_SUM; ++state) {
        ASSERT_EQ(row[state], m->EmitLogProb(state, probe)) << probe << " " << state;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Files, HMMModelParse,
                         ::testing::Values(Join(NineLines()), Join(NineLines(), " \t", " \r\n") + "\xFF junk\n1 2\n",
                                           "# start\n\n   # indented\n\t\n" + Join(NineLines(), "#c\n  ", "\r\n\n")));

const std::string kFields = "FATAL exp: [tmp.size() == STATUS_SUM] false. ";
const std::string kEnded = "FATAL exp: [GetLine(ifile, line)] false. ";
const std::string kIllegal = "ERROR emitProb illegal.";
const std::string kTransCode = "ERROR TransCode failed.";
std::string Rejected(const char* map) { return "FATAL exp: [LoadEmitProb(line, " + std::string(map) + ")] false. "; }

// (index of the line to replace, its replacement, records)
class HMMModelFailure : public ::testing::TestWithParam<std::tuple<int, std::string, Strings>> {};

TEST_P(HMMModelFailure, StopsWithItsRecords) {
  const auto& [index, replacement, expected] = GetParam();
  Strings lines = NineLines();
  lines[index] = replacement;
  TempDir dir;
  Strings records;
  EXPECT_FALSE(Load(dir.Write("hmm", Join(lines)), &records));
  EXPECT_EQ(records, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, HMMModelFailure,
    ::testing::Values(std::make_tuple(0, "-0.5\t-1 -2 -3", Strings{kFields}),
                      std::make_tuple(0, "-0.5  -1 -2 -3", Strings{kFields}),
                      std::make_tuple(3, "1 2 3", Strings{kFields}),
                      std::make_tuple(5, "\xE4\xB8\xAD:-1,\xE6\x96\x87:", Strings{kIllegal, Rejected("emitProbB")}),
                      std::make_tuple(6, "\xE4\xB8\xAD:-1:2", Strings{kIllegal, Rejected("emitProbE")}),
                      std::make_tuple(7, "a:-1,,b:-2", Strings{kIllegal, Rejected("emitProbM")}),
                      std::make_tuple(8, ":-1", Strings{kTransCode, Rejected("emitProbS")}),
                      std::make_tuple(5, "\xE4\xB8\xAD\xE6\x96\x87:-1", Strings{kTransCode, Rejected("emitProbB")}),
                      std::make_tuple(6, "a:-1, b:-2", Strings{kTransCode, Rejected("emitProbE")}),
                      std::make_tuple(7, "\xFF:-1", Strings{kTransCode, Rejected("emitProbM")}),
                      std::make_tuple(8, ",:-1", Strings{kIllegal, Rejected("emitProbS")}),
                      // A line starting with the rune "#" is a comment, so the file runs short.
                      std::make_tuple(5, "#:-1,a:-2", Strings{kEnded})));

// (index of the line to replace, its replacement, physical line number, records with PATH for
// the file): a number that is not all of its field, or not finite, stops the loading with the
// file and line named. NaN and inf would spread through every Viterbi sum, and text used to
// read as 0.
class HMMModelNumbers : public ::testing::TestWithParam<std::tuple<int, std::string, int, Strings>> {};

TEST_P(HMMModelNumbers, StopWithFileAndLine) {
  const auto& [index, replacement, lineno, expected] = GetParam();
  Strings lines = NineLines();
  lines[index] = replacement;
  TempDir dir;
  const std::string path = dir.Write("hmm", "# B E M S\n" + Join(lines));
  Strings records;
  EXPECT_FALSE(Load(path, &records));
  Strings wanted;
  for (std::string record : expected) {
    const std::size_t at = record.find("PATH");
    if (at != std::string::npos) record.replace(at, 4, path + ":" + std::to_string(lineno));
    wanted.push_back(record);
  }
  EXPECT_EQ(records, wanted);
}

const std::string kRowNumber = "FATAL exp: [IsLogProb(text, value)] false. not a finite number: ";

INSTANTIATE_TEST_SUITE_P(
    Numbers, HMMModelNumbers,
    ::testing::Values(
        std::make_tuple(0, "-0.5 abc -1 -2", 2, Strings{kRowNumber + "abc, in PATH"}),
        std::make_tuple(1, "-0.5 -1 5abc -2", 3, Strings{kRowNumber + "5abc, in PATH"}),
        std::make_tuple(2, "nan -1 -1 -2", 4, Strings{kRowNumber + "nan, in PATH"}),
        std::make_tuple(4, "-1 -1 -inf -2", 6, Strings{kRowNumber + "-inf, in PATH"}),
        std::make_tuple(3, "-1 -1 -1 1e999", 5, Strings{kRowNumber + "1e999, in PATH"}),
        std::make_tuple(5, "\xE4\xB8\xAD:-1,\xE6\x96\x87:abc", 7,
                        Strings{"ERROR emitProb illegal: abc is not a finite number, in PATH", Rejected("emitProbB")}),
        std::make_tuple(7, "a:nan", 9,
                        Strings{"ERROR emitProb illegal: nan is not a finite number, in PATH", Rejected("emitProbM")}),
        std::make_tuple(8, "a:-1.5x,b:-1", 10,
                        Strings{"ERROR emitProb illegal: -1.5x is not a finite number, in PATH",
                                Rejected("emitProbS")})));

TEST(HMMModelFile, MissingOrEmptyFile) {
  TempDir dir;
  Strings records;
  EXPECT_FALSE(Load(dir.Path("none"), &records));
  EXPECT_EQ(records, Strings{"FATAL exp: [ifile.is_open()] false. open " + dir.Path("none") + " failed"});
  EXPECT_FALSE(Load(dir.Write("hmm", "# only\n  # comments\n\n"), &records));
  EXPECT_EQ(records, Strings{kEnded});
}

// Loading again into a loaded model shows how far a failing file got.
TEST(HMMModelFile, EightLinesFailAtTheEmissionsOfSAndEarlierItemsStay) {
  TempDir dir;
  Strings records;
  const auto model = Load(dir.Write("good", Join(NineLines())), &records);
  ASSERT_TRUE(model);
  Strings lines = NineLines();
  lines[7] = "a:-9";
  lines.pop_back();
  records = Records(kLabel, [&] { model->LoadModel(dir.Write("eight", Join(lines))); });
  EXPECT_EQ(records, Strings{kEnded});
  EXPECT_EQ(model->EmitLogProb(HMMModel::M, 'a'), -9.0);
  lines = NineLines();
  lines[5] = "z:-0.5,bad";
  records = Records(kLabel, [&] { model->LoadModel(dir.Write("bad", Join(lines))); });
  EXPECT_EQ(records, (Strings{kIllegal, Rejected("emitProbB")}));
  EXPECT_EQ(model->EmitLogProb(HMMModel::B, 'z'), -0.5);
  jieba::EmitProbMap map;
  EXPECT_TRUE(Records(kLabel, [&] { EXPECT_FALSE(model->LoadEmitProb("", map)); }).empty());
}

}  // namespace
