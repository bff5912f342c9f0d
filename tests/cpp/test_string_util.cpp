#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tokenizer/limonp/StringUtil.h"

using lumo::typing::text::limonp::Split;

namespace {

struct SplitCase {
  std::string text;
  std::string delimiters;
  std::vector<std::string> pieces;
};

class SplitCases : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCases, CutsAtEveryDelimiterByte) {
  const SplitCase& c = GetParam();
  std::vector<std::string> out = {"left", "over"};
  Split(c.text, out, c.delimiters);
  EXPECT_EQ(out, c.pieces);
  EXPECT_EQ(Split(c.text, c.delimiters), c.pieces);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SplitCases,
    ::testing::Values(SplitCase{"a b", " ", {"a", "b"}}, SplitCase{"a b ", " ", {"a", "b"}},
                      SplitCase{" a", " ", {"", "a"}}, SplitCase{"a  b", " ", {"a", "", "b"}},
                      SplitCase{"", " ", {}}, SplitCase{" ", " ", {""}}, SplitCase{"  ", " ", {"", ""}},
                      SplitCase{"a b", "", {"a b"}}, SplitCase{"x|y;z", "|;", {"x", "y", "z"}},
                      SplitCase{"x;;y", "|;", {"x", "", "y"}}, SplitCase{"x;", "|;", {"x"}},
                      SplitCase{"a:1,b:2,", ",", {"a:1", "b:2"}}, SplitCase{"no-delimiter", " ", {"no-delimiter"}},
                      SplitCase{"\xe4\xb8\xad \xe6\x96\x87\r", " ", {"\xe4\xb8\xad", "\xe6\x96\x87\r"}}));

TEST(Split, StopsCuttingAfterMaxPieces) {
  EXPECT_EQ(Split("a b c d", " ", 2), (std::vector<std::string>{"a", "b", "c d"}));
  EXPECT_EQ(Split("a b c d", " ", 0), (std::vector<std::string>{"a b c d"}));
  EXPECT_EQ(Split("a b", " ", 5), (std::vector<std::string>{"a", "b"}));
}

}  // namespace
