#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>

#include "json/JSON.h"
#include "json/JSONInternal.h"

namespace json = lumo::typing::text::json;
using json::JSON;

namespace {

std::string Streamed(const JSON& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

struct FloatCase {
  const char* name;
  double value;
  const char* text;
};

class JsonFloatText : public ::testing::TestWithParam<FloatCase> {};

TEST_P(JsonFloatText, HasSixFixedDecimals) { EXPECT_EQ(Streamed(JSON(GetParam().value)), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Values, JsonFloatText,
    ::testing::Values(FloatCase{"ThreeQuarters", 0.75, "0.750000"}, FloatCase{"Whole", 3.0, "3.000000"}, FloatCase{"NegativeZero", -0.0, "-0.000000"},
                      FloatCase{"TenthOfMicro", 1e-07, "0.000000"}, FloatCase{"QuarterMicro", 2.5e-07, "0.000000"},
                      FloatCase{"Rounded", 1.2345678, "1.234568"}, FloatCase{"EightThirds", 8.0 / 3.0, "2.666667"},
                      FloatCase{"Negative", -1.5, "-1.500000"}, FloatCase{"Huge", 1e20, "100000000000000000000.000000"},
                      FloatCase{"Infinity", std::numeric_limits<double>::infinity(), "inf"},
                      FloatCase{"NegativeInfinity", -std::numeric_limits<double>::infinity(), "-inf"},
                      FloatCase{"NaN", std::numeric_limits<double>::quiet_NaN(), "nan"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonWriter, LargestDoubleIsWrittenInFull) {
  const std::string text = Streamed(JSON(-std::numeric_limits<double>::max()));
  EXPECT_EQ(text.size(), 1 + 309 + 1 + 6u);
  EXPECT_EQ(text.substr(0, 4), "-179");
  EXPECT_EQ(text.substr(text.size() - 7), ".000000");
}

struct EscapeCase {
  const char* name;
  std::string raw;
  std::string escaped;
};

class JsonEscape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(JsonEscape, ReplacesExactlySevenBytes) {
  EXPECT_EQ(json::internal::json_escape(GetParam().raw), GetParam().escaped);
  EXPECT_EQ(Streamed(JSON(GetParam().raw)), "\"" + GetParam().escaped + "\"");
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, JsonEscape,
    ::testing::Values(EscapeCase{"ShortControls", "\b\t\n\f\r", "\\b\\t\\n\\f\\r"}, EscapeCase{"TabAndQuote", "\t\"", "\\t\\\""},
                      EscapeCase{"Backslash", "a\\b", "a\\\\b"}, EscapeCase{"OtherControls", std::string("\0\v\x01\x1f", 4), std::string("\0\v\x01\x1f", 4)},
                      EscapeCase{"SlashAndDel", "/\x7f", "/\x7f"}, EscapeCase{"HighBytes", "\xe4\xb8\xad\xff", "\xe4\xb8\xad\xff"},
                      EscapeCase{"Empty", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonWriter, ObjectLayout) {
  JSON root;
  root["a"] = 1;
  root["b"]["c"] = 2.5;
  EXPECT_EQ(Streamed(root), "{\n  \"a\" : 1,\n  \"b\" : {\n    \"c\" : 2.500000\n  }\n}");
}

TEST(JsonWriter, EmptyContainers) {
  EXPECT_EQ(Streamed(json::Object()), "{\n\n}");
  EXPECT_EQ(Streamed(json::Array()), "[]");
  JSON root;
  root["e"] = json::Object();
  EXPECT_EQ(Streamed(root), "{\n  \"e\" : {\n\n  }\n}");
}

TEST(JsonWriter, ObjectsInsideArrays) {
  JSON root;
  root["list"][0u]["x"] = 1;
  root["list"][1u]["y"] = json::Array();
  root["list"][2u] = "s";
  EXPECT_EQ(Streamed(root),
            "{\n  \"list\" : [{\n      \"x\" : 1\n    }, {\n      \"y\" : []\n    }, \"s\"]\n}");
}

TEST(JsonWriter, ArraysNeverBreakLines) {
  JSON list;
  list[0u] = JSON();
  list[1u] = true;
  list[2u][0u] = -4;
  EXPECT_EQ(Streamed(list), "[null, true, [-4]]");
}

struct IndentCase {
  const char* name;
  int depth;
  std::string tab;
  const char* text;
};

class JsonIndent : public ::testing::TestWithParam<IndentCase> {};

TEST_P(JsonIndent, ClosingBraceLosesTwoCharacters) {
  JSON root;
  root["k"]["m"] = 1;
  EXPECT_EQ(root.dump(GetParam().depth, GetParam().tab), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Units, JsonIndent,
    ::testing::Values(IndentCase{"StreamDefault", 1, "  ", "{\n  \"k\" : {\n    \"m\" : 1\n  }\n}"},
                      IndentCase{"DepthZero", 0, "  ", "{\n\"k\" : {\n  \"m\" : 1\n}\n}"},
                      IndentCase{"NegativeDepth", -3, "  ", "{\n\"k\" : {\n\"m\" : 1\n}\n}"},
                      IndentCase{"TabUnit", 1, "\t", "{\n\t\"k\" : {\n\t\t\"m\" : 1\n}\n}"},
                      IndentCase{"WideUnit", 2, "----", "{\n--------\"k\" : {\n------------\"m\" : 1\n----------}\n------}"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonWriter, KeysAreWrittenAsHeld) {
  JSON root;
  root["a\"b\\c"] = 1;
  EXPECT_EQ(Streamed(root), "{\n  \"a\"b\\c\" : 1\n}");
}

TEST(JsonWriter, StreamOperatorAddsNoLineBreak) {
  std::ostringstream out;
  out << JSON(1) << JSON("x");
  EXPECT_EQ(out.str(), "1\"x\"");
}

}  // namespace
