#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tokenizer/limonp/StringUtil.h"

using lumo::typing::text::limonp::Split;
using Pieces = std::vector<std::string>;

namespace {

class SplitCases : public ::testing::TestWithParam<std::tuple<std::string, std::string, Pieces>> {};

// Every delimiter byte cuts on its own; a final delimiter adds no piece; nothing is trimmed.
TEST_P(SplitCases, Pieces) {
  const auto& [text, delimiters, pieces] = GetParam();
  Pieces out = {"left", "over"};
  Split(text, out, delimiters);
  EXPECT_EQ(out, pieces);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SplitCases,
    ::testing::Values(std::make_tuple("a b", " ", Pieces{"a", "b"}), std::make_tuple("a b ", " ", Pieces{"a", "b"}),
                      std::make_tuple(" a", " ", Pieces{"", "a"}), std::make_tuple("a  b", " ", Pieces{"a", "", "b"}),
                      std::make_tuple("", " ", Pieces{}), std::make_tuple("  ", " ", Pieces{"", ""}),
                      std::make_tuple("a b", "", Pieces{"a b"}), std::make_tuple("x|y;z", "|;", Pieces{"x", "y", "z"}),
                      std::make_tuple("x;;y", "|;", Pieces{"x", "", "y"}), std::make_tuple("x\r", " ", Pieces{"x\r"})));

TEST(Split, StopsCuttingAfterMaxPieces) {
  EXPECT_EQ(Split("a b c d", " ", 2), (Pieces{"a", "b", "c d"}));
  EXPECT_EQ(Split("a b c d", " ", 0), (Pieces{"a b c d"}));
}

}  // namespace
