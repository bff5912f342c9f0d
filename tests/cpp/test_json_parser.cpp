#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "capture_stderr.h"
#include "json/JSON.h"
#include "json/JSONInternal.h"

namespace json = lumo::typing::text::json;
using json::JSON;
using Kind = JSON::Kind;

namespace {

const std::string kNul(1, '\0');

struct ParseCase {
  const char* name;
  std::string text;
  std::string written;      // the parsed value as the writer renders it
  std::string diagnostics;  // everything written to standard error
};

class JsonParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(JsonParse, GivesValueAndDiagnostics) {
  const ParseCase& c = GetParam();
  CaptureStderr captured;
  const JSON value = JSON::Load(c.text);
  EXPECT_EQ(value.dump(1, "  "), c.written);
  EXPECT_EQ(captured.text(), c.diagnostics);
}

INSTANTIATE_TEST_SUITE_P(
    Scalars, JsonParse,
    ::testing::Values(
        ParseCase{"IntegerThenSpace", "10 ", "10", ""},
        ParseCase{"IntegerThenLineFeed", "10\n", "10", ""},
        ParseCase{"NumberAtEndIsRejected", "10", "null", "ERROR: Number: unexpected character '" + kNul + "'\n"},
        ParseCase{"FloatAtEndIsRejected", "1.5", "null", "ERROR: Number: unexpected character '" + kNul + "'\n"},
        ParseCase{"Float", "10.0 ", "10.000000", ""},
        ParseCase{"Exponent", "1e2 ", "100.000000", ""},
        ParseCase{"CapitalExponentWithPlus", "1E+2 ", "100.000000", ""},
        ParseCase{"NegativeExponent", "1e-2 ", "0.010000", ""},
        ParseCase{"MinusZero", "-0 ", "0", ""},
        ParseCase{"MinusInsideMantissa", "1-2 ", "1", ""},
        ParseCase{"SeveralDots", "1.2.3 ", "1.200000", ""},
        ParseCase{"LetterAfterNumber", "12x", "null", "ERROR: Number: unexpected character 'x'\n"},
        ParseCase{"LetterAfterExponent", "1e5x", "null", "ERROR: Number: Expected a number for exponent, found 'x'\n"},
        ParseCase{"ExponentAtEnd", "1e", "null", "ERROR: Number: Expected a number for exponent, found '" + kNul + "'\n"},
        ParseCase{"True", "true", "true", ""},
        ParseCase{"False", "false", "false", ""},
        ParseCase{"Null", "null", "null", ""},
        ParseCase{"WordNotCheckedAfter", "truex", "true", ""},
        ParseCase{"BadTrue", "trux", "null", "ERROR: Bool: Expected 'true' or 'false', found 'trux'\n"},
        ParseCase{"BadFalseShowsFive", "fals3 and more", "null", "ERROR: Bool: Expected 'true' or 'false', found 'fals3'\n"},
        ParseCase{"BadNullShowsFour", "nul1 x", "null", "ERROR: Null: Expected 'null', found 'nul1'\n"},
        ParseCase{"ShortWordAtEnd", "t", "null", "ERROR: Bool: Expected 'true' or 'false', found 't'\n"},
        ParseCase{"UnknownStart", "x", "null", "ERROR: Parse: Unknown starting character 'x'\n"},
        ParseCase{"PlusIsNoNumber", "+1 ", "null", "ERROR: Parse: Unknown starting character '+'\n"},
        ParseCase{"HighByteIsNoSpace", "\xc2\xa0 1 ", "null", "ERROR: Parse: Unknown starting character '\xc2'\n"},
        ParseCase{"EmptyText", "", "null", "ERROR: Parse: Unknown starting character '" + kNul + "'\n"},
        ParseCase{"SixSpaceBytes", " \t\n\v\f\r7 ", "7", ""},
        ParseCase{"TrailingTextIgnored", "1 2", "1", ""},
        ParseCase{"TrailingTextAfterObject", "{} x", "{\n\n}", ""}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Strings, JsonParse,
    ::testing::Values(
        ParseCase{"Plain", "\"abc\"", "\"abc\"", ""},
        ParseCase{"ShortEscapes", "\"\\\"\\/\\b\\f\\n\\r\\t\"", "\"\\\"/\\b\\f\\n\\r\\t\"", ""},
        // The \u escape is kept as six characters, so the writer doubles its backslash.
        ParseCase{"UnicodeEscapeKept", "\"\\u0041\"", "\"\\\\u0041\"", ""},
        ParseCase{"EscapedBackslash", "\"a\\\\b\"", "\"a\\\\b\"", ""},
        ParseCase{"OtherEscapeDropsCharacter", "\"a\\qb\"", "\"a\\\\b\"", ""},
        ParseCase{"RawControlBytesKept", std::string("\"\x01\n\0\"", 5), std::string("\"\x01\\n\0\"", 6), ""},
        ParseCase{"BadHex", "\"\\u12x4\"", "\"\"",
                  "ERROR: String: Expected hex character in unicode escape, found 'x'\n"},
        ParseCase{"HexCutByEnd", "\"\\u12", "\"\"",
                  "ERROR: String: Expected hex character in unicode escape, found '" + kNul + "'\n"},
        ParseCase{"Unterminated", "\"abc", "\"\"",
                  "ERROR: String: Expected '\"' before the end of the text, found '" + kNul + "'\n"},
        ParseCase{"LoneTrailingBackslash", "\"abc\\", "\"\"",
                  "ERROR: String: Expected '\"' before the end of the text, found '" + kNul + "'\n"},
        ParseCase{"EscapedQuoteAtEnd", "\"abc\\\"", "\"\"",
                  "ERROR: String: Expected '\"' before the end of the text, found '" + kNul + "'\n"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Containers, JsonParse,
    ::testing::Values(
        ParseCase{"EmptyArray", "[]", "[]", ""}, ParseCase{"EmptyArraySpaced", "[ ]", "[]", ""},
        ParseCase{"EmptyObject", "{}", "{\n\n}", ""}, ParseCase{"EmptyObjectSpaced", "{ }", "{\n\n}", ""},
        ParseCase{"Array", "[1, \"a\", [true], {\"k\": null}]", "[1, \"a\", [true], {\n    \"k\" : null\n  }]", ""},
        ParseCase{"ArrayTrailingComma", "[1,]", "[1, null]", "ERROR: Parse: Unknown starting character ']'\n"},
        ParseCase{"ArrayMissingComma", "[1 2]", "[]", "ERROR: Array: Expected ',' or ']', found '2'\n"},
        ParseCase{"ArrayUnclosed", "[1", "[]", "ERROR: Number: unexpected character '" + kNul + "'\n" +
                                                   "ERROR: Array: Expected ',' or ']', found '" + kNul + "'\n"},
        ParseCase{"Object", "{\"b\": 1, \"a\": {\"c\": 2.5}}",
                  "{\n  \"a\" : {\n    \"c\" : 2.500000\n  },\n  \"b\" : 1\n}", ""},
        ParseCase{"ObjectTrailingComma", "{\"a\": 1,}", "{\n  \"a\" : 1\n}",
                  "ERROR: Parse: Unknown starting character '}'\nError: Object: Expected colon, found '}'\n"},
        ParseCase{"ObjectMissingColon", "{\"a\" 1}", "{\n\n}", "Error: Object: Expected colon, found '1'\n"},
        ParseCase{"ObjectMissingComma", "{\"a\": 1 \"b\": 2}", "{\n  \"a\" : 1\n}",
                  "ERROR: Object: Expected comma, found '\"'\n"},
        // The number swallows the colon, then the value's first character is taken for it.
        ParseCase{"NumberKeyBeforeColon", "{\"a\": 1, 5: 6}", "{\n  \"a\" : 1\n}",
                  "ERROR: Number: unexpected character ':'\nError: Object: Expected colon, found '6'\n"},
        ParseCase{"DuplicateKeyLastWins", "{\"a\": 1, \"a\": 2}", "{\n  \"a\" : 2\n}", ""},
        ParseCase{"TrueKeyIsEmptyKey", "{true: 1}", "{\n  \"\" : 1\n}", ""},
        ParseCase{"NullKeyIsEmptyKey", "{null: 1}", "{\n  \"\" : 1\n}", ""},
        ParseCase{"ArrayKeyIsEmptyKey", "{[1]: 1}", "{\n  \"\" : 1\n}", ""},
        ParseCase{"NumberKeyIsEmptyKey", "{5 : 1}", "{\n  \"\" : 1\n}", ""},
        // Keys are held escaped: a quote inside a key keeps its backslash.
        ParseCase{"KeyHeldEscaped", "{\"a\\\"b\": 1, \"t\\tab\": 2, \"u\\u0041\": 3}",
                  "{\n  \"a\\\"b\" : 1,\n  \"t\\tab\" : 2,\n  \"u\\\\u0041\" : 3\n}", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonParser, KeyIsStoredInEscapedForm) {
  const JSON value = JSON::Load("{\"a\\\"b\": 1, \"c\\\\d\": 2}");
  ASSERT_EQ(value.Entries().size(), 2u);
  EXPECT_EQ(value.Entries().begin()->first, "a\\\"b");
  EXPECT_EQ(value.Entries().rbegin()->first, "c\\\\d");
}

TEST(JsonParser, ExponentIsAPowerMultipliedIn) {
  bool ok = false;
  const double parsed = JSON::Load("1.5e-5 ").AsFloat(ok);
  ASSERT_TRUE(ok);
  volatile double power = 1e-05;
  EXPECT_EQ(parsed, 1.5 * power);
  EXPECT_NE(parsed, 1.5e-05);
  EXPECT_EQ(JSON::Load("2.5e-15 ").AsFloat(ok), 2.5 * std::pow(10.0, -15.0));
  EXPECT_EQ(JSON::Load("3e1 ").GetKind(), Kind::Float);
}

TEST(JsonParser, IntegersKeepSixtyFourBits) {
  bool ok = false;
  EXPECT_EQ(JSON::Load("9223372036854775807 ").AsInteger(ok), INT64_MAX);
  EXPECT_TRUE(ok);
  EXPECT_EQ(JSON::Load("-9223372036854775808 ").AsInteger(ok), INT64_MIN);
  EXPECT_TRUE(ok);
}

struct ThrowCase {
  const char* name;
  std::string text;
  bool out_of_range;  // otherwise invalid_argument
};

class JsonConversionFailure : public ::testing::TestWithParam<ThrowCase> {};

TEST_P(JsonConversionFailure, Throws) {
  const ThrowCase& c = GetParam();
  if (c.out_of_range)
    EXPECT_THROW(JSON::Load(c.text), std::out_of_range);
  else
    EXPECT_THROW(JSON::Load(c.text), std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, JsonConversionFailure,
    ::testing::Values(ThrowCase{"TwentyDigits", "12345678901234567890 ", true},
                      ThrowCase{"BelowInt64", "-9223372036854775809 ", true},
                      ThrowCase{"NestedTwentyDigits", "{\"a\": [1, 99999999999999999999]}", true},
                      ThrowCase{"HugeExponentText", "1e99999999999999999999 ", true},
                      ThrowCase{"FloatOverflowText", "1" + std::string(400, '0') + ".0 ", true},
                      ThrowCase{"LoneMinus", "- ", false}, ThrowCase{"DoubleMinus", "--1 ", false},
                      ThrowCase{"EmptyExponent", "[1e,2]", false}, ThrowCase{"MinusExponentOnly", "1e- ", false}),
    [](const auto& info) { return std::string(info.param.name); });

struct PositionCase {
  const char* name;
  std::string text;
  std::size_t start;
  std::size_t end;
};

class JsonPosition : public ::testing::TestWithParam<PositionCase> {};

TEST_P(JsonPosition, StopsWhereDocumented) {
  const PositionCase& c = GetParam();
  CaptureStderr captured;
  std::size_t offset = c.start;
  json::internal::parse_next(c.text, offset);
  EXPECT_EQ(offset, c.end);
}

INSTANTIATE_TEST_SUITE_P(
    AfterValuesAndErrors, JsonPosition,
    ::testing::Values(PositionCase{"NumberLeavesEndCharacter", "12,", 0, 2},
                      PositionCase{"NumberErrorSkipsCharacter", "12x,", 0, 3},
                      PositionCase{"NumberErrorAtEndGoesPastIt", "12", 0, 3},
                      PositionCase{"ExponentErrorSkipsCharacter", "1e5x", 0, 4},
                      PositionCase{"UnknownStartStays", "  x", 0, 2},
                      PositionCase{"WordMovesOn", "false!", 0, 5},
                      PositionCase{"BadWordStays", " nulL", 0, 1},
                      PositionCase{"StringAfterQuote", "\"ab\" x", 0, 4},
                      PositionCase{"HexErrorOnTheU", "\"a\\uZ\"", 0, 3},
                      PositionCase{"UnterminatedAtEnd", "\"abc\\", 0, 5},
                      PositionCase{"ArrayAfterBracket", "[1] ", 0, 3},
                      PositionCase{"ArrayErrorOnCharacter", "[1 x]", 0, 3},
                      PositionCase{"ObjectColonErrorOnCharacter", "{\"a\" 1}", 0, 5},
                      PositionCase{"ObjectCommaErrorOnCharacter", "{\"a\":1 ;", 0, 7},
                      PositionCase{"StartsMidText", "ab 42 ", 2, 5},
                      PositionCase{"TooDeepSkipsWholeConstruct", std::string(600, '[') + std::string(600, ']') + " ",
                                   0, 1200}),
    [](const auto& info) { return std::string(info.param.name); });

std::string Nested(int levels, const std::string& inner = "1") {
  return std::string(static_cast<std::size_t>(levels), '[') + inner + std::string(static_cast<std::size_t>(levels), ']');
}

int DepthOf(const JSON& value) {
  int depth = 0;
  const JSON* at = &value;
  while (at->GetKind() == Kind::Array && !at->Elements().empty()) {
    ++depth;
    at = &at->Elements().front();
  }
  return depth;
}

TEST(JsonParser, NestingUpToTheLimitIsRead) {
  CaptureStderr captured;
  const JSON value = JSON::Load(Nested(json::internal::kMaxNestingDepth));
  EXPECT_EQ(captured.text(), "");
  EXPECT_EQ(DepthOf(value), json::internal::kMaxNestingDepth);
}

TEST(JsonParser, NestingBeyondTheLimitIsOneDiagnosticAndNull) {
  CaptureStderr captured;
  const JSON value = JSON::Load(Nested(json::internal::kMaxNestingDepth + 1, "{\"a\": [\"]]]\"]}") + ",");
  EXPECT_EQ(captured.text(), "ERROR: Parse: Nesting deeper than 512 levels, found '['\n");
  // The levels within the limit are kept, the one beyond is Null, and the parse goes on after
  // the skipped construct (a string holding brackets does not end it early).
  EXPECT_EQ(DepthOf(value), json::internal::kMaxNestingDepth);
}

TEST(JsonParser, HostileNestingDoesNotExhaustTheStack) {
  CaptureStderr captured;
  const JSON arrays = JSON::Load(std::string(1000000, '['));
  EXPECT_EQ(arrays.GetKind(), Kind::Array);
  const JSON objects = JSON::Load(std::string(200000, '{') + "\"");
  EXPECT_EQ(objects.GetKind(), Kind::Object);
  // Each unclosed level reports once, as any unclosed array does; the nesting report is first.
  EXPECT_EQ(captured.text().rfind("ERROR: Parse: Nesting deeper than 512 levels, found '['\n", 0), 0u);
}

TEST(JsonParser, ObjectInsideObjectBeyondLimit) {
  std::string text;
  for (int i = 0; i < 600; ++i) text += "{\"k\":";
  text += "1";
  text += std::string(600, '}');
  CaptureStderr captured;
  const JSON value = JSON::Load(text);
  EXPECT_EQ(captured.text(), "ERROR: Parse: Nesting deeper than 512 levels, found '{'\n");
  int depth = 0;
  const JSON* at = &value;
  while (at->GetKind() == Kind::Object) {
    ++depth;
    at = &at->Entries().at("k");
  }
  EXPECT_EQ(depth, json::internal::kMaxNestingDepth);
  EXPECT_EQ(at->GetKind(), Kind::Null);
}

TEST(JsonParser, WrittenTextReadsBack) {
  JSON root;
  root["f"] = 0.5;
  root["i"] = -12;
  root["s"] = "tab\there \"q\" back\\slash";
  root["list"][0u] = true;
  root["list"][1u]["deep"] = json::Array();
  root["empty"] = json::Object();
  const std::string text = root.dump(1, "  ");
  CaptureStderr captured;
  EXPECT_EQ(JSON::Load(text).dump(1, "  "), text);
  EXPECT_EQ(captured.text(), "");
}

}  // namespace
