#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "lexical_test_support.h"
#include "tokenizer/jieba/HMMModel.h"

namespace jieba = lumo::typing::text::jieba;
namespace limonp = lumo::typing::text::limonp;
using jieba::HMMModel;
using jieba::MIN_LOG_PROB;
using lexical_test::Messages;
using lexical_test::TempDir;

namespace {

constexpr const char* kLabel = "csrc/tokenizer/jieba/HMMModel";
constexpr jieba::Rune kZhong = 0x4E2D;  // 中
constexpr jieba::Rune kWen = 0x6587;    // 文

// The nine significant lines of a small model, in file order.
std::vector<std::string> NineLines() {
  return {
      "-0.5 -3.14e+100 -3.14e+100 -1.5",
      "-3.14e+100 -0.25 -1.25 -3.14e+100",
      "-0.75 -3.14e+100 -3.14e+100 -0.625",
      "-3.14e+100 -0.125 -2.5 -3.14e+100",
      "-0.375 -3.14e+100 -3.14e+100 -1.125",
      "\xE4\xB8\xAD:-1.5,\xE6\x96\x87:-2.5",
      "\xE4\xB8\xAD:-3.5",
      "\xE6\x96\x87:-4.5,a:-5.5",
      "\xE4\xB8\xAD:-6.5,\xE4\xB8\xAD:-7.5,",
  };
}

std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line + "\n";
  }
  return text;
}

struct Loaded {
  std::unique_ptr<HMMModel> model;
  std::vector<std::string> records;
};

Loaded Load(const std::string& path) {
  Loaded out;
  testing::internal::CaptureStderr();
  try {
    out.model = std::make_unique<HMMModel>(path);
  } catch (const limonp::FatalError&) {
  }
  out.records = Messages(testing::internal::GetCapturedStderr(), kLabel);
  return out;
}

void ExpectNineLinesModel(const HMMModel& m) {
  EXPECT_EQ(m.startLogProb[HMMModel::B], -0.5);
  EXPECT_EQ(m.startLogProb[HMMModel::E], -3.14e+100);
  EXPECT_EQ(m.startLogProb[HMMModel::S], -1.5);
  EXPECT_EQ(m.transLogProb[HMMModel::B][HMMModel::E], -0.25);
  EXPECT_EQ(m.transLogProb[HMMModel::B][HMMModel::M], -1.25);
  EXPECT_EQ(m.transLogProb[HMMModel::E][HMMModel::S], -0.625);
  EXPECT_EQ(m.transLogProb[HMMModel::M][HMMModel::E], -0.125);
  EXPECT_EQ(m.transLogProb[HMMModel::S][HMMModel::B], -0.375);
  EXPECT_EQ(m.transLogProb[HMMModel::S][HMMModel::S], -1.125);
  EXPECT_EQ(m.EmitLogProb(HMMModel::B, kZhong), -1.5);
  EXPECT_EQ(m.EmitLogProb(HMMModel::B, kWen), -2.5);
  EXPECT_EQ(m.EmitLogProb(HMMModel::E, kZhong), -3.5);
  EXPECT_EQ(m.EmitLogProb(HMMModel::M, 'a'), -5.5);
  EXPECT_EQ(m.EmitLogProb(HMMModel::S, kZhong), -7.5);  // the later value of a repeated rune
  EXPECT_EQ(m.emitProbB.size(), 2u);
  EXPECT_EQ(m.emitProbS.size(), 1u);
}

TEST(HMMModelParse, NineSignificantLines) {
  TempDir dir;
  const Loaded l = Load(dir.Write("hmm.model", Join(NineLines())));
  ASSERT_TRUE(l.model);
  EXPECT_TRUE(l.records.empty());
  ExpectNineLinesModel(*l.model);
}

// Comments (also indented ones), blank lines, surrounding white space and carriage returns are
// not significant, and nothing after the ninth significant line is read.
TEST(HMMModelParse, CommentsBlankLinesAndWhiteSpaceAreSkipped) {
  const std::vector<std::string> nine = NineLines();
  std::string text = "# start probabilities\n\n   # indented comment\n\t\n";
  text += "  " + nine[0] + " \r\n";
  text += "#trans\n";
  for (int i = 1; i <= 4; ++i) {
    text += "\t" + nine[i] + "\r\n\n";
  }
  text += " \x0B\x0C# emissions\n";
  for (int i = 5; i <= 8; ++i) {
    text += nine[i] + "\t\r\n";
  }
  text += "garbage that is never read: \xFF\n1 2\n";
  TempDir dir;
  const Loaded l = Load(dir.Write("hmm.model", text));
  ASSERT_TRUE(l.model);
  EXPECT_TRUE(l.records.empty());
  ExpectNineLinesModel(*l.model);
}

TEST(HMMModelParse, UnknownRuneGetsTheFloorInEveryState) {
  TempDir dir;
  const Loaded l = Load(dir.Write("hmm.model", Join(NineLines())));
  ASSERT_TRUE(l.model);
  for (std::size_t state = 0; state < HMMModel::STATUS_SUM; ++state) {
    EXPECT_EQ(l.model->EmitLogProb(state, 0x4E00), MIN_LOG_PROB);
    EXPECT_EQ(l.model->emitProbByState[state]->count(0x4E00), 0u);
  }
  EXPECT_EQ(l.model->emitProbByState[HMMModel::M], &l.model->emitProbM);
  EXPECT_EQ(MIN_LOG_PROB, -3.14e+100);
}

TEST(HMMModelParse, NonNumericFieldsReadAsZero) {
  std::vector<std::string> lines = NineLines();
  lines[0] = "x -1 1.5abc -";
  lines[5] = "\xE4\xB8\xAD:none";
  TempDir dir;
  const Loaded l = Load(dir.Write("hmm.model", Join(lines)));
  ASSERT_TRUE(l.model);
  EXPECT_EQ(l.model->startLogProb[0], 0.0);
  EXPECT_EQ(l.model->startLogProb[1], -1.0);
  EXPECT_EQ(l.model->startLogProb[2], 1.5);
  EXPECT_EQ(l.model->startLogProb[3], 0.0);
  EXPECT_EQ(l.model->EmitLogProb(HMMModel::B, kZhong), 0.0);
}

struct BadModel {
  const char* name;
  int line;             // index among the nine lines to replace, or -1 to use `text` as the file
  std::string content;  // the replacement line, or the whole file
  std::vector<std::string> records;
};

void PrintTo(const BadModel& c, std::ostream* os) { *os << c.name; }

class HMMModelFailure : public ::testing::TestWithParam<BadModel> {};

TEST_P(HMMModelFailure, StopsWithItsRecords) {
  const BadModel& c = GetParam();
  std::string text = c.content;
  if (c.line >= 0) {
    std::vector<std::string> lines = NineLines();
    lines[static_cast<std::size_t>(c.line)] = c.content;
    text = Join(lines);
  }
  TempDir dir;
  const Loaded l = Load(dir.Write("hmm.model", text));
  EXPECT_FALSE(l.model);
  EXPECT_EQ(l.records, c.records);
}

const std::string kFieldCount = "FATAL exp: [tmp.size() == STATUS_SUM] false. ";
const std::string kEnded = "FATAL exp: [GetLine(ifile, line)] false. ";
const std::string kIllegal = "ERROR emitProb illegal.";
const std::string kTransCode = "ERROR TransCode failed.";
std::string Rejected(const std::string& map) { return "FATAL exp: [LoadEmitProb(line, " + map + ")] false. "; }

INSTANTIATE_TEST_SUITE_P(
    Files, HMMModelFailure,
    ::testing::Values(
        BadModel{"EmptyFile", -1, "", {kEnded}},
        BadModel{"OnlyComments", -1, "# a\n  # b\n\n", {kEnded}},
        BadModel{"TabBetweenNumbers", 0, "-0.5\t-1 -2 -3", {kFieldCount}},
        BadModel{"DoubleSpace", 0, "-0.5  -1 -2 -3", {kFieldCount}},
        BadModel{"FiveStartFields", 0, "1 2 3 4 5", {kFieldCount}},
        BadModel{"ThreeTransitionFields", 3, "1 2 3", {kFieldCount}},
        BadModel{"NothingAfterColon", 5, "\xE4\xB8\xAD:-1,\xE6\x96\x87:", {kIllegal, Rejected("emitProbB")}},
        BadModel{"TwoColons", 6, "\xE4\xB8\xAD:-1:2", {kIllegal, Rejected("emitProbE")}},
        BadModel{"EmptyItem", 7, "\xE4\xB8\xAD:-1,,\xE6\x96\x87:-2", {kIllegal, Rejected("emitProbM")}},
        BadModel{"NothingBeforeColon", 8, ":-1", {kTransCode, Rejected("emitProbS")}},
        BadModel{"TwoRuneKey", 5, "\xE4\xB8\xAD\xE6\x96\x87:-1", {kTransCode, Rejected("emitProbB")}},
        BadModel{"SpaceAfterComma", 6, "\xE4\xB8\xAD:-1, \xE6\x96\x87:-2", {kTransCode, Rejected("emitProbE")}},
        BadModel{"UndecodableKey", 7, "\xFF:-1", {kTransCode, Rejected("emitProbM")}},
        BadModel{"CommaCannotBeAKey", 8, ",:-1", {kIllegal, Rejected("emitProbS")}},
        BadModel{"ColonCannotBeAKey", 8, "::-1", {kIllegal, Rejected("emitProbS")}},
        // A line that begins with the rune "#" is a comment, so the file runs out of lines.
        BadModel{"HashRuneTakenForComment", 5, "#:-1,\xE4\xB8\xAD:-2", {kEnded}}),
    [](const ::testing::TestParamInfo<BadModel>& info) { return std::string(info.param.name); });

TEST(HMMModelFailure, MissingFile) {
  TempDir dir;
  const std::string path = dir.Path("none.model");
  const Loaded l = Load(path);
  EXPECT_FALSE(l.model);
  EXPECT_EQ(l.records, (std::vector<std::string>{"FATAL exp: [ifile.is_open()] false. open " + path + " failed"}));
}

// Reloading into a loaded model shows how far a failing file got before it stopped.
class HMMModelReload : public ::testing::Test {
 protected:
  void SetUp() override {
    model_ = Load(dir_.Write("good.model", Join(NineLines()))).model;
    ASSERT_TRUE(model_);
  }

  std::vector<std::string> Reload(const std::string& text) {
    testing::internal::CaptureStderr();
    EXPECT_THROW(model_->LoadModel(dir_.Write("bad.model", text)), limonp::FatalError);
    return Messages(testing::internal::GetCapturedStderr(), kLabel);
  }

  TempDir dir_;
  std::unique_ptr<HMMModel> model_;
};

TEST_F(HMMModelReload, EightLinesFailWhileReadingTheEmissionsOfS) {
  std::vector<std::string> lines = NineLines();
  lines[7] = "a:-9";
  lines.pop_back();
  EXPECT_EQ(Reload(Join(lines)), (std::vector<std::string>{kEnded}));
  EXPECT_EQ(model_->EmitLogProb(HMMModel::M, 'a'), -9.0);  // the emissions of M were read
}

TEST_F(HMMModelReload, CommentLikeEmissionLineIsReplacedByTheNextOne) {
  std::vector<std::string> lines = NineLines();
  lines[5] = "#:-1";
  lines.push_back("b:-8");  // becomes the emissions of S
  EXPECT_NO_THROW(model_->LoadModel(dir_.Write("shifted.model", Join(lines))));
  EXPECT_EQ(model_->emitProbB.count('#'), 0u);
  EXPECT_EQ(model_->EmitLogProb(HMMModel::B, kZhong), -3.5);  // what was meant for E
  EXPECT_EQ(model_->EmitLogProb(HMMModel::S, 'b'), -8.0);
}

TEST_F(HMMModelReload, ItemsBeforeTheBadOneStay) {
  std::vector<std::string> lines = NineLines();
  lines[5] = "z:-0.5,bad";
  EXPECT_EQ(Reload(Join(lines)), (std::vector<std::string>{kIllegal, Rejected("emitProbB")}));
  EXPECT_EQ(model_->EmitLogProb(HMMModel::B, 'z'), -0.5);
}

TEST(HMMModelEmit, EmptyLineIsRejectedWithoutRecord) {
  TempDir dir;
  std::unique_ptr<HMMModel> model = Load(dir.Write("hmm.model", Join(NineLines()))).model;
  ASSERT_TRUE(model);
  jieba::EmitProbMap map;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(model->LoadEmitProb("", map));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(map.empty());
}

}  // namespace
