#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

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

TEST(JsonWriter, FloatsHaveSixFixedDecimals) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<std::pair<double, std::string>> cases = {
      {0.75, "0.750000"},    {3.0, "3.000000"},       {-0.0, "-0.000000"},     {1e-07, "0.000000"},
      {2.5e-07, "0.000000"}, {1.2345678, "1.234568"}, {8.0 / 3.0, "2.666667"}, {1e20, "100000000000000000000.000000"},
      {inf, "inf"},          {-inf, "-inf"},          {std::nan(""), "nan"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(Streamed(JSON(value)), text);
  const std::string largest = Streamed(JSON(-std::numeric_limits<double>::max()));
  EXPECT_EQ(largest.size(), 1 + 309 + 1 + 6u);
}

TEST(JsonWriter, EscapesExactlySevenBytes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
      {"\t\"", "\\t\\\""},
      {"a\\b", "a\\\\b"},
      {std::string("\0\v\x01\x1f/\x7f\xe4\xb8\xad\xff", 10), std::string("\0\v\x01\x1f/\x7f\xe4\xb8\xad\xff", 10)}};
  for (const auto& [raw, escaped] : cases) {
    EXPECT_EQ(json::internal::json_escape(raw), escaped);
    EXPECT_EQ(Streamed(JSON(raw)), "\"" + escaped + "\"");
  }
}

TEST(JsonWriter, ObjectAndArrayLayout) {
  JSON root;
  root["a"] = 1;
  root["b"]["c"] = 2.5;
  EXPECT_EQ(Streamed(root), "{\n  \"a\" : 1,\n  \"b\" : {\n    \"c\" : 2.500000\n  }\n}");
  JSON list;
  list["list"][0u]["x"] = 1;
  list["list"][1u]["y"] = json::Array();
  list["list"][2u][0u] = JSON();
  list["e"] = json::Object();
  EXPECT_EQ(Streamed(list),
            "{\n  \"e\" : {\n\n  },\n  \"list\" : [{\n      \"x\" : 1\n    }, {\n      \"y\" : []\n    }, "
            "[null]]\n}");
  JSON quoted;  // keys are written as held
  quoted["a\"b\\c"] = 1;
  EXPECT_EQ(Streamed(quoted), "{\n  \"a\"b\\c\" : 1\n}");
  std::ostringstream out;
  out << JSON(1) << JSON("x");
  EXPECT_EQ(out.str(), "1\"x\"");
}

TEST(JsonWriter, ClosingBraceLosesTwoCharactersOfIndentation) {
  JSON root;
  root["k"]["m"] = 1;
  const std::vector<std::tuple<int, std::string, std::string>> cases = {
      {0, "  ", "{\n\"k\" : {\n  \"m\" : 1\n}\n}"},
      {-3, "  ", "{\n\"k\" : {\n\"m\" : 1\n}\n}"},
      {1, "\t", "{\n\t\"k\" : {\n\t\t\"m\" : 1\n}\n}"},
      {2, "----", "{\n--------\"k\" : {\n------------\"m\" : 1\n----------}\n------}"}};
  for (const auto& [depth, tab, text] : cases) EXPECT_EQ(root.dump(depth, tab), text) << depth << tab;
}

}  // namespace
