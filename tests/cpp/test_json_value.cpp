#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "json/JSON.h"

namespace json = lumo::typing::text::json;
using json::JSON;
using Kind = JSON::Kind;

namespace {

std::string Text(const JSON& value) { return value.dump(1, "  "); }

TEST(JsonValue, KindsAndPayloadConstructors) {
  const Kind kinds[] = {Kind::Null, Kind::Object, Kind::Array, Kind::String, Kind::Float, Kind::Integer, Kind::Bool};
  for (std::uint32_t i = 0; i < 7; ++i) EXPECT_EQ(static_cast<std::uint32_t>(kinds[i]), i);
  EXPECT_EQ(sizeof(Kind), 4u);
  const std::vector<std::tuple<JSON, Kind, std::string>> cases = {
      {JSON(), Kind::Null, "null"},
      {json::Object(), Kind::Object, "{\n\n}"},
      {json::Array(), Kind::Array, "[]"},
      {JSON(std::string("a b")), Kind::String, "\"a b\""},
      {JSON(2.5), Kind::Float, "2.500000"},
      {JSON(static_cast<short>(-12)), Kind::Integer, "-12"},
      {JSON(std::uint32_t{4294967295u}), Kind::Integer, "4294967295"},
      {JSON(INT64_MIN), Kind::Integer, "-9223372036854775808"},
      {JSON(false), Kind::Bool, "false"}};
  for (const auto& [value, kind, text] : cases) {
    EXPECT_EQ(value.GetKind(), kind) << text;
    EXPECT_EQ(Text(value), text);
  }
}

TEST(JsonValue, NumbersReadOnlyAsTheirOwnKind) {
  bool ok = false;
  EXPECT_EQ(JSON(3).AsInteger(ok), 3);
  EXPECT_TRUE(ok);
  EXPECT_EQ(JSON(3.5).AsFloat(ok), 3.5);
  EXPECT_TRUE(ok);
  for (const JSON& other : {JSON(), JSON(3.0), JSON("3"), JSON(true), json::Object(), json::Array()}) {
    ok = true;
    EXPECT_EQ(other.AsInteger(ok), 0);
    EXPECT_FALSE(ok);
  }
  for (const JSON& other : {JSON(), JSON(3), JSON("3"), JSON(true), json::Object(), json::Array()}) {
    ok = true;
    EXPECT_EQ(other.AsFloat(ok), 0.0);
    EXPECT_FALSE(ok);
  }
}

TEST(JsonValue, IndexGrowsWithNullsAndKeepsElements) {
  JSON value;
  JSON& last = value[3u];
  ASSERT_EQ(value.Elements().size(), 4u);
  EXPECT_EQ(&last, &value.Elements()[3]);
  EXPECT_EQ(Text(value), "[null, null, null, null]");
  value[4u] = 4;
  value[1u] = "one";
  JSON* first = &value[0u];
  EXPECT_EQ(Text(value), "[null, \"one\", null, null, 4]");
  value[100u] = true;  // growing never moves what is there
  EXPECT_EQ(first, &value[0u]);
  EXPECT_EQ(value.Elements().size(), 101u);
}

TEST(JsonValue, AccessOfTheOtherKindDiscardsOldContent) {
  JSON array;
  array[0u] = 1;
  JSON object;
  object["z"] = 1;
  for (const JSON& old : {JSON(), JSON("text"), JSON(1.5), JSON(9), JSON(false), array}) {
    JSON keyed = old;
    EXPECT_EQ(keyed["k"].GetKind(), Kind::Null);
    EXPECT_EQ(Text(keyed), "{\n  \"k\" : null\n}");
  }
  for (const JSON& old : {JSON(), JSON("text"), JSON(1.5), JSON(9), JSON(false), object}) {
    JSON indexed = old;
    indexed[1u] = 5;
    EXPECT_EQ(Text(indexed), "[null, 5]");
  }
  EXPECT_EQ(object["new"].GetKind(), Kind::Null);
  EXPECT_EQ(object.Entries().size(), 2u);
}

TEST(JsonValue, EntriesIterateInByteOrder) {
  JSON value;
  for (const char* key : {"b", "a", "ab", "\xc3\xa9", "B"}) value[key] = 1;
  std::vector<std::string> keys;
  for (const auto& entry : value.Entries()) keys.push_back(entry.first);
  EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "ab", "b", "\xc3\xa9"}));
  EXPECT_TRUE(JSON(1).Entries().empty());
  EXPECT_TRUE(json::Object().Elements().empty());
}

TEST(JsonValue, CopiesAreIndependent) {
  JSON source;
  source["list"][0u] = "first";
  source["n"] = 1;
  JSON copy(source);
  JSON assigned;
  assigned = source;
  copy["list"][0u] = "changed";
  assigned["list"][1u] = "added";
  EXPECT_EQ(Text(source), "{\n  \"list\" : [\"first\"],\n  \"n\" : 1\n}");
  EXPECT_EQ(Text(copy), "{\n  \"list\" : [\"changed\"],\n  \"n\" : 1\n}");
  EXPECT_EQ(Text(assigned), "{\n  \"list\" : [\"first\", \"added\"],\n  \"n\" : 1\n}");
}

TEST(JsonValue, MoveHandsTheContainerOverAndLeavesNull) {
  JSON source;
  source["a"] = "x";
  const JSON::ObjectMap* map = &source.Entries();
  JSON target(std::move(source));
  EXPECT_EQ(source.GetKind(), Kind::Null);  // NOLINT(bugprone-use-after-move)
  JSON assigned("old");
  assigned = std::move(target);
  EXPECT_EQ(target.GetKind(), Kind::Null);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(&assigned.Entries(), map);
}

TEST(JsonValue, AssigningItselfOrAPartOfItselfIsSafe) {
  JSON value;
  value["a"] = "x";
  value["b"][0u] = 1.5;
  const std::string before = Text(value);
  JSON& same = value;
  value = same;
  value = std::move(same);
  EXPECT_EQ(Text(value), before);
  value = value["b"];
  EXPECT_EQ(Text(value), "[1.500000]");
  value[1u][0u] = "deep";
  value = std::move(value[1u]);
  EXPECT_EQ(Text(value), "[\"deep\"]");
  JSON keyed;  // a key held by the object itself
  keyed["name"] = 1;
  keyed[keyed.Entries().begin()->first] = 3;
  EXPECT_EQ(Text(keyed), "{\n  \"name\" : 3\n}");
}

TEST(JsonValue, PayloadAssignmentReleasesOtherKinds) {
  JSON value;
  value["a"][0u] = "x";
  value = 2.5;
  EXPECT_EQ(value.GetKind(), Kind::Float);
  const std::vector<std::pair<std::function<void(JSON&)>, std::string>> steps = {
      {[](JSON& v) { v = 7; }, "7"},
      {[](JSON& v) { v = true; }, "true"},
      {[](JSON& v) { v = "s"; }, "\"s\""},
      {[](JSON& v) { v = std::string("t"); }, "\"t\""},
      {[](JSON& v) { v = -0.5; }, "-0.500000"}};
  for (const auto& [assign, text] : steps) {
    assign(value);
    EXPECT_EQ(Text(value), text);
  }
  JSON root;
  root["x"] = 1.0;
  JSON* member = &root["x"];
  root["x"] = 2.0;
  EXPECT_EQ(member, &root["x"]);
  root.ClearInternal();  // leaves a value that is safe to use and destroy
  EXPECT_EQ(root.GetKind(), Kind::Null);
}

}  // namespace
