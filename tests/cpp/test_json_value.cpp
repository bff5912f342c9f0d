#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "json/JSON.h"

namespace json = lumo::typing::text::json;
using json::JSON;
using Kind = JSON::Kind;

namespace {

std::string Text(const JSON& value) { return value.dump(1, "  "); }

std::string KindName(Kind kind) {
  static const char* const names[] = {"Null", "Object", "Array", "String", "Float", "Integer", "Bool"};
  return names[static_cast<int>(kind)];
}

TEST(JsonValue, KindNumbersAreFixed) {
  EXPECT_EQ(static_cast<std::uint32_t>(Kind::Null), 0u);
  EXPECT_EQ(static_cast<std::uint32_t>(Kind::Object), 1u);
  EXPECT_EQ(static_cast<std::uint32_t>(Kind::Array), 2u);
  EXPECT_EQ(static_cast<std::uint32_t>(Kind::String), 3u);
  EXPECT_EQ(static_cast<std::uint32_t>(Kind::Float), 4u);
  EXPECT_EQ(static_cast<std::uint32_t>(Kind::Integer), 5u);
  EXPECT_EQ(static_cast<std::uint32_t>(Kind::Bool), 6u);
  EXPECT_EQ(sizeof(Kind), 4u);
}

struct ConstructionCase {
  const char* name;
  JSON value;
  Kind kind;
  const char* text;
};

class JsonConstruction : public ::testing::TestWithParam<ConstructionCase> {};

TEST_P(JsonConstruction, GivesKindAndText) {
  const ConstructionCase& c = GetParam();
  EXPECT_EQ(c.value.GetKind(), c.kind);
  EXPECT_EQ(Text(c.value), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, JsonConstruction,
    ::testing::Values(ConstructionCase{"null", JSON(), Kind::Null, "null"},
                      ConstructionCase{"string", JSON(std::string("a b")), Kind::String, "\"a b\""},
                      ConstructionCase{"literal", JSON("x"), Kind::String, "\"x\""},
                      ConstructionCase{"double", JSON(2.5), Kind::Float, "2.500000"},
                      ConstructionCase{"int", JSON(-7), Kind::Integer, "-7"},
                      ConstructionCase{"short", JSON(static_cast<short>(12)), Kind::Integer, "12"},
                      ConstructionCase{"uint32", JSON(std::uint32_t{4294967295u}), Kind::Integer, "4294967295"},
                      ConstructionCase{"int64", JSON(INT64_MIN), Kind::Integer, "-9223372036854775808"},
                      ConstructionCase{"true", JSON(true), Kind::Bool, "true"},
                      ConstructionCase{"false", JSON(false), Kind::Bool, "false"},
                      ConstructionCase{"object", json::Object(), Kind::Object, "{\n\n}"},
                      ConstructionCase{"array", json::Array(), Kind::Array, "[]"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonValue, ReadsOnlyTheirOwnKind) {
  bool ok = true;
  EXPECT_EQ(JSON(3).AsInteger(ok), 3);
  EXPECT_TRUE(ok);
  EXPECT_EQ(JSON(3).AsFloat(ok), 0.0);
  EXPECT_FALSE(ok);
  EXPECT_EQ(JSON(3.0).AsFloat(ok), 3.0);
  EXPECT_TRUE(ok);
  EXPECT_EQ(JSON(3.0).AsInteger(ok), 0);
  EXPECT_FALSE(ok);
  for (const JSON& other : {JSON(), JSON("3"), JSON(true), json::Object(), json::Array()}) {
    ok = true;
    EXPECT_EQ(other.AsInteger(ok), 0);
    EXPECT_FALSE(ok);
    ok = true;
    EXPECT_EQ(other.AsFloat(ok), 0.0);
    EXPECT_FALSE(ok);
  }
  EXPECT_EQ(JSON("abc").AsString(ok), "abc");
  EXPECT_TRUE(ok);
  EXPECT_EQ(JSON(1).AsString(ok), "");
  EXPECT_FALSE(ok);
}

TEST(JsonValue, IndexingNullMakesArrayOfNulls) {
  JSON value;
  JSON& last = value[3u];
  EXPECT_EQ(value.GetKind(), Kind::Array);
  ASSERT_EQ(value.Elements().size(), 4u);
  EXPECT_EQ(&last, &value.Elements()[3]);
  for (const JSON& element : value.Elements()) EXPECT_EQ(element.GetKind(), Kind::Null);
}

TEST(JsonValue, IndexingInsideArrayKeepsSizeAndValues) {
  JSON value;
  for (std::uint32_t i = 0; i < 5; ++i) value[i] = static_cast<int>(i * 10);
  value[1u] = "one";
  ASSERT_EQ(value.Elements().size(), 5u);
  EXPECT_EQ(Text(value), "[0, \"one\", 20, 30, 40]");
  // Growing keeps the earlier elements where they were.
  JSON* first = &value[0u];
  value[100u] = true;
  EXPECT_EQ(first, &value[0u]);
  EXPECT_EQ(value.Elements().size(), 101u);
}

class JsonMemberAccessOnOtherKinds : public ::testing::TestWithParam<JSON> {};

TEST_P(JsonMemberAccessOnOtherKinds, DiscardsOldContent) {
  JSON value = GetParam();
  JSON& member = value["k"];
  EXPECT_EQ(member.GetKind(), Kind::Null);
  EXPECT_EQ(value.GetKind(), Kind::Object);
  ASSERT_EQ(value.Entries().size(), 1u);
  EXPECT_EQ(value.Entries().begin()->first, "k");
}

TEST_P(JsonMemberAccessOnOtherKinds, IndexDiscardsOldContent) {
  JSON value = GetParam();
  value[1u] = 5;
  EXPECT_EQ(Text(value), "[null, 5]");
}

INSTANTIATE_TEST_SUITE_P(Kinds, JsonMemberAccessOnOtherKinds,
                         ::testing::Values(JSON(), JSON("text"), JSON(1.5), JSON(9), JSON(false)),
                         [](const auto& info) { return KindName(info.param.GetKind()); });

TEST(JsonValue, MemberAccessOnArrayAndObject) {
  JSON array;
  array[2u] = "x";
  array["k"];
  EXPECT_EQ(Text(array), "{\n  \"k\" : null\n}");

  JSON object;
  object["a"] = 1;
  object["b"] = 2;
  JSON& added = object["c"];
  EXPECT_EQ(added.GetKind(), Kind::Null);
  EXPECT_EQ(object.Entries().size(), 3u);
  EXPECT_EQ(&object["a"], &object.Entries().at("a"));
}

TEST(JsonValue, EntriesIterateInByteOrder) {
  JSON value;
  for (const char* key : {"b", "a", "ab", "\xc3\xa9", "B"}) value[key] = 1;
  std::vector<std::string> keys;
  for (const auto& entry : value.Entries()) keys.push_back(entry.first);
  EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "ab", "b", "\xc3\xa9"}));
}

TEST(JsonValue, OtherKindsShowNoEntriesOrElements) {
  EXPECT_TRUE(JSON(1).Entries().empty());
  EXPECT_TRUE(JSON("s").Elements().empty());
  EXPECT_TRUE(json::Array().Entries().empty());
  EXPECT_TRUE(json::Object().Elements().empty());
}

TEST(JsonValue, CopyIsDeep) {
  JSON source;
  source["list"][0u] = "first";
  source["list"][1u] = "second";
  source["n"] = 1;
  JSON copy(source);
  copy["list"][0u] = "changed";
  copy["n"] = 2;
  JSON assigned;
  assigned = source;
  assigned["list"][1u] = "also changed";
  EXPECT_EQ(Text(source), "{\n  \"list\" : [\"first\", \"second\"],\n  \"n\" : 1\n}");
  EXPECT_EQ(Text(copy), "{\n  \"list\" : [\"changed\", \"second\"],\n  \"n\" : 2\n}");
  EXPECT_EQ(Text(assigned), "{\n  \"list\" : [\"first\", \"also changed\"],\n  \"n\" : 1\n}");
}

TEST(JsonValue, MoveHandsOverAndLeavesNull) {
  JSON source;
  source["a"][0u] = "x";
  const JSON::ObjectMap* map = &source.Entries();
  JSON target(std::move(source));
  EXPECT_EQ(source.GetKind(), Kind::Null);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(Text(source), "null");
  EXPECT_EQ(&target.Entries(), map);

  JSON assigned("old");
  assigned = std::move(target);
  EXPECT_EQ(target.GetKind(), Kind::Null);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(&assigned.Entries(), map);
}

TEST(JsonValue, SelfAssignmentKeepsValue) {
  JSON value;
  value["a"] = "x";
  value["b"][0u] = 1.5;
  const std::string before = Text(value);
  JSON& same = value;
  value = same;
  EXPECT_EQ(Text(value), before);
  value = std::move(same);
  EXPECT_EQ(Text(value), before);
}

TEST(JsonValue, AssigningANestedValueToItsContainer) {
  JSON value;
  value["inner"]["leaf"] = "kept";
  value["other"] = 1;
  value = value["inner"];
  EXPECT_EQ(Text(value), "{\n  \"leaf\" : \"kept\"\n}");

  JSON moved;
  moved[0u][0u] = "deep";
  moved[1u] = 2;
  moved = std::move(moved[0u]);
  EXPECT_EQ(Text(moved), "[\"deep\"]");

  // A key that is itself held by the object.
  JSON keyed;
  keyed["name"] = 1;
  keyed[keyed.Entries().begin()->first] = 3;
  EXPECT_EQ(Text(keyed), "{\n  \"name\" : 3\n}");
}

TEST(JsonValue, PayloadAssignmentChangesKind) {
  JSON value;
  value["a"][0u] = "x";
  value = 2.5;
  EXPECT_EQ(value.GetKind(), Kind::Float);
  EXPECT_EQ(Text(value), "2.500000");
  value = 7;
  EXPECT_EQ(value.GetKind(), Kind::Integer);
  value = true;
  EXPECT_EQ(value.GetKind(), Kind::Bool);
  value = "text";
  EXPECT_EQ(value.GetKind(), Kind::String);
  value = std::string("again");
  EXPECT_EQ(Text(value), "\"again\"");
  value = std::int64_t{-3};
  EXPECT_EQ(Text(value), "-3");
}

TEST(JsonValue, PayloadAssignmentToMemberReplacesOnlyTheNumber) {
  JSON root;
  root["x"] = 1.0;
  JSON* member = &root["x"];
  root["x"] = 2.0;
  EXPECT_EQ(member, &root["x"]);
  EXPECT_EQ(Text(root), "{\n  \"x\" : 2.000000\n}");
}

TEST(JsonValue, ClearInternalLeavesNull) {
  JSON value;
  value["a"][0u] = "x";
  value.ClearInternal();
  EXPECT_EQ(value.GetKind(), Kind::Null);
  value.ClearInternal();
  EXPECT_EQ(Text(value), "null");
}

}  // namespace
