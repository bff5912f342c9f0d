#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "capture_stderr.h"
#include "json/JSON.h"
#include "json/JSONInternal.h"

namespace json = lumo::typing::text::json;
using json::JSON;
using Kind = JSON::Kind;

namespace {

const std::string kNul(1, '\0');
const std::string kUnknown = "ERROR: Parse: Unknown starting character '";
const std::string kNumber = "ERROR: Number: unexpected character '";
const std::string kExponent = "ERROR: Number: Expected a number for exponent, found '";
const std::string kUnclosed = "ERROR: String: Expected '\"' before the end of the text, found '" + kNul + "'\n";
const std::string kHex = "ERROR: String: Expected hex character in unicode escape, found '";
const std::string kDeep = "ERROR: Parse: Nesting deeper than 512 levels, found '";

struct ParseCase {
  std::string text;
  std::string written;      // the parsed value as the writer renders it
  std::string diagnostics;  // everything written to standard error
};

void ExpectParses(const std::vector<ParseCase>& cases) {
  for (const ParseCase& c : cases) {
    CaptureStderr captured;
    const std::string written = JSON::Load(c.text).dump(1, "  ");
    const std::string diagnostics = captured.text();
    EXPECT_EQ(written, c.written) << "text: " << c.text;
    EXPECT_EQ(diagnostics, c.diagnostics) << "text: " << c.text;
  }
}

TEST(JsonParser, Scalars) {
  ExpectParses({
      {"10 ", "10", ""},
      {"10\n", "10", ""},
      {"10", "null", kNumber + kNul + "'\n"},  // a number must not end the text
      {"1.5", "null", kNumber + kNul + "'\n"},
      {"10.0 ", "10.000000", ""},
      {"1e2 ", "100.000000", ""},
      {"1E+2 ", "100.000000", ""},
      {"1e-2 ", "0.010000", ""},
      {"-0 ", "0", ""},
      {"1-2 ", "1", ""},  // the longest convertible part counts
      {"1.2.3 ", "1.200000", ""},
      {"12x", "null", kNumber + "x'\n"},
      {"1e5x", "null", kExponent + "x'\n"},
      {"1e", "null", kExponent + kNul + "'\n"},
      {"true", "true", ""},
      {"false", "false", ""},
      {"null", "null", ""},
      {"truex", "true", ""},
      {"trux", "null", "ERROR: Bool: Expected 'true' or 'false', found 'trux'\n"},
      {"fals3 and more", "null", "ERROR: Bool: Expected 'true' or 'false', found 'fals3'\n"},
      {"nul1 x", "null", "ERROR: Null: Expected 'null', found 'nul1'\n"},
      {"t", "null", "ERROR: Bool: Expected 'true' or 'false', found 't'\n"},
      {"x", "null", kUnknown + "x'\n"},
      {"+1 ", "null", kUnknown + "+'\n"},
      {"\xc2\xa0 1 ", "null", kUnknown + "\xc2'\n"},  // high bytes are no whitespace
      {"", "null", kUnknown + kNul + "'\n"},
      {" \t\n\v\f\r7 ", "7", ""},
      {"1 2", "1", ""},
      {"{} x", "{\n\n}", ""},
  });
}

TEST(JsonParser, Strings) {
  ExpectParses({
      {"\"abc\"", "\"abc\"", ""},
      {"\"\\\"\\/\\b\\f\\n\\r\\t\"", "\"\\\"/\\b\\f\\n\\r\\t\"", ""},
      {"\"\\u0041\"", "\"\\\\u0041\"", ""},  // kept as six characters, so written doubled
      {"\"a\\\\b\"", "\"a\\\\b\"", ""},
      {"\"a\\qb\"", "\"a\\\\b\"", ""},  // one backslash stays, the q goes
      {std::string("\"\x01\n\0\"", 5), std::string("\"\x01\\n\0\"", 6), ""},
      {"\"\\u12x4\"", "\"\"", kHex + "x'\n"},
      {"\"\\u12", "\"\"", kHex + kNul + "'\n"},
      {"\"abc", "\"\"", kUnclosed},
      {"\"abc\\", "\"\"", kUnclosed},
      {"\"abc\\\"", "\"\"", kUnclosed},
  });
}

TEST(JsonParser, Containers) {
  const std::string kArray = "ERROR: Array: Expected ',' or ']', found '";
  const std::string kColon = "Error: Object: Expected colon, found '";
  ExpectParses({
      {"[]", "[]", ""},
      {"[ ]", "[]", ""},
      {"{}", "{\n\n}", ""},
      {"{ }", "{\n\n}", ""},
      {"[1, \"a\", [true], {\"k\": null}]", "[1, \"a\", [true], {\n    \"k\" : null\n  }]", ""},
      {"[1,]", "[1, null]", kUnknown + "]'\n"},
      {"[1 2]", "[]", kArray + "2'\n"},
      {"[1", "[]", kNumber + kNul + "'\n" + kArray + kNul + "'\n"},
      {"{\"b\": 1, \"a\": {\"c\": 2.5}}", "{\n  \"a\" : {\n    \"c\" : 2.500000\n  },\n  \"b\" : 1\n}", ""},
      {"{\"a\": 1,}", "{\n  \"a\" : 1\n}", kUnknown + "}'\n" + kColon + "}'\n"},
      {"{\"a\" 1}", "{\n\n}", kColon + "1'\n"},
      {"{\"a\": 1 \"b\": 2}", "{\n  \"a\" : 1\n}", "ERROR: Object: Expected comma, found '\"'\n"},
      {"{\"a\": 1, 5: 6}", "{\n  \"a\" : 1\n}", kNumber + ":'\n" + kColon + "6'\n"},
      {"{\"a\": 1, \"a\": 2}", "{\n  \"a\" : 2\n}", ""},
      {"{true: 1}", "{\n  \"\" : 1\n}", ""},
      {"{null: 1, [1]: 2, 5 : 3}", "{\n  \"\" : 3\n}", ""},
      // Keys are held in written form: a quote keeps its backslash, \u its doubled one.
      {"{\"a\\\"b\": 1, \"t\\tab\": 2, \"u\\u0041\": 3}",
       "{\n  \"a\\\"b\" : 1,\n  \"t\\tab\" : 2,\n  \"u\\\\u0041\" : 3\n}", ""},
  });
  const JSON value = JSON::Load("{\"a\\\"b\": 1}");
  EXPECT_EQ(value.Entries().begin()->first, "a\\\"b");
}

TEST(JsonParser, NumericConversions) {
  bool ok = false;
  volatile double power = 1e-05;
  EXPECT_EQ(JSON::Load("1.5e-5 ").AsFloat(ok), 1.5 * power);  // a power multiplied in, not 1.5e-05
  EXPECT_NE(JSON::Load("1.5e-5 ").AsFloat(ok), 1.5e-05);
  EXPECT_EQ(JSON::Load("2.5e-15 ").AsFloat(ok), 2.5 * std::pow(10.0, -15.0));
  EXPECT_EQ(JSON::Load("3e1 ").GetKind(), Kind::Float);
  EXPECT_EQ(JSON::Load("9223372036854775807 ").AsInteger(ok), INT64_MAX);
  EXPECT_EQ(JSON::Load("-9223372036854775808 ").AsInteger(ok), INT64_MIN);
  for (const std::string text : {"12345678901234567890 ", "-9223372036854775809 ", "{\"a\": [1, 99999999999999999999]}",
                                 "1e99999999999999999999 "})
    EXPECT_THROW(JSON::Load(text), std::out_of_range) << text;
  EXPECT_THROW(JSON::Load("1" + std::string(400, '0') + ".0 "), std::out_of_range);
  for (const std::string text : {"- ", "--1 ", "[1e,2]", "1e- "})
    EXPECT_THROW(JSON::Load(text), std::invalid_argument) << text;
}

TEST(JsonParser, PositionAfterValuesAndErrors) {
  struct Case {
    std::string text;
    std::size_t start, end;
  };
  const std::vector<Case> cases = {
      {"12,", 0, 2},  // on the ending character
      {"12x,", 0, 3},
      {"12", 0, 3},  // one past the end-of-text NUL
      {"1e5x", 0, 4},
      {"  x", 0, 2},
      {"false!", 0, 5},
      {" nulL", 0, 1},
      {"\"ab\" x", 0, 4},
      {"\"a\\uZ\"", 0, 3},  // on the u
      {"\"abc\\", 0, 5},
      {"[1] ", 0, 3},
      {"[1 x]", 0, 3},
      {"{\"a\" 1}", 0, 5},
      {"{\"a\":1 ;", 0, 7},
      {"ab 42 ", 2, 5},
      {std::string(600, '[') + std::string(600, ']') + " ", 0, 1200},
  };
  for (const Case& c : cases) {
    CaptureStderr captured;
    std::size_t offset = c.start;
    json::internal::parse_next(c.text, offset);
    EXPECT_EQ(offset, c.end) << c.text.substr(0, 20);
  }
}

int ArrayDepth(const JSON& value) {
  int depth = 0;
  for (const JSON* at = &value; at->GetKind() == Kind::Array && !at->Elements().empty(); ++depth)
    at = &at->Elements().front();
  return depth;
}

TEST(JsonParser, NestingIsLimited) {
  const int limit = json::internal::kMaxNestingDepth;
  const auto nested = [](int levels, const std::string& inner) {
    return std::string(levels, '[') + inner + std::string(levels, ']');
  };
  {
    CaptureStderr captured;
    EXPECT_EQ(ArrayDepth(JSON::Load(nested(limit, "1"))), limit);
    EXPECT_EQ(captured.text(), "");
  }
  {
    // One level too deep: one diagnostic, that level is Null, and the parse resumes after it
    // (brackets inside a string do not end the skipped part early).
    CaptureStderr captured;
    EXPECT_EQ(ArrayDepth(JSON::Load(nested(limit + 1, "{\"a\": [\"]]]\"]}"))), limit);
    EXPECT_EQ(captured.text(), kDeep + "['\n");
  }
  {
    std::string text;
    for (int i = 0; i < 600; ++i) text += "{\"k\":";
    text += "1" + std::string(600, '}');
    CaptureStderr captured;
    const JSON value = JSON::Load(text);
    EXPECT_EQ(captured.text(), kDeep + "{'\n");
    int depth = 0;
    const JSON* at = &value;
    for (; at->GetKind() == Kind::Object; ++depth) at = &at->Entries().at("k");
    EXPECT_EQ(depth, limit);
  }
  {
    // Hostile input ends in a bounded stack; each unclosed level reports, as any unclosed array.
    CaptureStderr captured;
    EXPECT_EQ(JSON::Load(std::string(1000000, '[')).GetKind(), Kind::Array);
    EXPECT_EQ(JSON::Load(std::string(200000, '{') + "\"").GetKind(), Kind::Object);
    EXPECT_EQ(captured.text().rfind(kDeep + "['\n", 0), 0u);
  }
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
