// Numbers whose exponent takes them past the range of a double are refused like an
// out-of-range mantissa; numbers that stay in range, and zero with any exponent, are read.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "capture_stderr.h"
#include "json/JSON.h"

namespace {

using lumo::typing::text::json::JSON;

struct RangeCase {
  const char* name;
  std::string text;
};

class JsonExponentOverflow : public ::testing::TestWithParam<RangeCase> {};

TEST_P(JsonExponentOverflow, ThrowsOutOfRange) { EXPECT_THROW(JSON::Load(GetParam().text), std::out_of_range); }

INSTANTIATE_TEST_SUITE_P(Numbers, JsonExponentOverflow,
                         ::testing::Values(RangeCase{"IntegerMantissa", "1e313 "},
                                           RangeCase{"FloatMantissa", "1.5e400 "}, RangeCase{"Negative", "-2.5E+309 "},
                                           RangeCase{"InsideArray", "[1, 1e999]"},
                                           RangeCase{"ModelMember", "{\"_b\" : 1.0e400, \"_k1\" : 1.0}"}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ValueCase {
  const char* name;
  std::string text;
  double value;
};

class JsonExponentInRange : public ::testing::TestWithParam<ValueCase> {};

TEST_P(JsonExponentInRange, ReadsAFiniteFloatThatWritesBack) {
  const ValueCase& c = GetParam();
  const JSON parsed = JSON::Load(c.text);
  bool ok = false;
  const double value = parsed.AsFloat(ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(value, c.value);
  EXPECT_EQ(std::signbit(value), std::signbit(c.value));
  // The written text is a number the parser reads again, to the same text.
  CaptureStderr quiet;
  const std::string written = parsed.dump(1, "  ");
  EXPECT_EQ(JSON::Load(written + " ").dump(1, "  "), written);
  EXPECT_EQ(quiet.text(), "");
}

INSTANTIATE_TEST_SUITE_P(Numbers, JsonExponentInRange,
                         ::testing::Values(ValueCase{"Largest", "1e308 ", 1e308},
                                           ValueCase{"ZeroWithHugeExponent", "0e999 ", 0.0},
                                           ValueCase{"NegativeZeroWithHugeExponent", "-0.0e999 ", -0.0},
                                           ValueCase{"Underflow", "1e-400 ", 0.0},
                                           ValueCase{"NegativeUnderflow", "-1.0e-400 ", -0.0}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
