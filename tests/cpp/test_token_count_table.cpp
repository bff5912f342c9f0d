// The token count table against a std::map model: every key counted exactly, whatever the
// growth, the blocking of batched additions, or keys that differ only in length or in
// bytes the hash reads with overlapping loads.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "bm25/TokenCountTable.h"

namespace {

using lumo::typing::text::HashTokenBytes;
using lumo::typing::text::TokenCountTable;

// Keys that a careless short-string hash or comparison would confuse.
std::vector<std::string> TrickyKeys() {
  using namespace std::string_literals;
  return {""s,
          "a"s,
          "a\0"s,
          "\0a"s,
          "\0"s,
          "\0\0"s,
          "ab"s,
          "ba"s,
          "abc"s,
          "abcd"s,
          "abcde"s,
          "abcdefg"s,
          "abcdefgh"s,
          "abcdefghi"s,
          "abcdefgh\0"s,
          "bbcdefgh"s,
          "abcdefgi"s,
          "中"s,
          "中文"s,
          "中文分词"s,
          "一二三四五六七八九十"s,
          std::string(40, 'x'),
          std::string(41, 'x')};
}

TEST(TokenCountTable, DistinctTrickyKeysStayApart) {
  TokenCountTable table;
  const auto keys = TrickyKeys();
  for (std::size_t i = 0; i < keys.size(); ++i) table[keys[i]] += static_cast<std::int64_t>(i + 1);
  ASSERT_EQ(table.size(), keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    ASSERT_NE(table.find(keys[i]), table.end()) << i;
    EXPECT_EQ(table.at(keys[i]), static_cast<std::int64_t>(i + 1)) << i;
  }
  EXPECT_EQ(table.count("abcdefghij"), 0u);
  EXPECT_THROW(table.at("zz"), std::out_of_range);
}

struct BatchCase {
  std::size_t distinct;
  std::size_t occurrences;
  std::size_t batch;  // tokens handed over per call
};

class TokenCountTableBatches : public ::testing::TestWithParam<BatchCase> {};

TEST_P(TokenCountTableBatches, MatchesAnOrderedMapModel) {
  const auto [distinct, occurrences, batch] = GetParam();
  std::vector<std::string> tokens;
  std::uint64_t state = 12345;
  for (std::size_t i = 0; i < occurrences; ++i) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    const std::size_t rank = (state >> 33) % distinct;
    // Skewed: low ranks repeat, also inside one block of the batched path.
    tokens.push_back("t" + std::to_string(rank * rank % distinct));
  }
  std::map<std::string, std::int64_t> model;
  for (const auto& t : tokens) ++model[t];

  TokenCountTable table;
  std::vector<std::string_view> views(tokens.begin(), tokens.end());
  for (std::size_t start = 0; start < views.size(); start += batch)
    table.AddOccurrences(views.data() + start, std::min(batch, views.size() - start));

  ASSERT_EQ(table.size(), model.size());
  for (const auto& [key, count] : model) EXPECT_EQ(table.at(key), count) << key;
  std::map<std::string, std::int64_t> iterated(table.begin(), table.end());
  EXPECT_EQ(iterated, model);
}

INSTANTIATE_TEST_SUITE_P(Growth, TokenCountTableBatches,
                         ::testing::Values(BatchCase{1, 50, 50}, BatchCase{10, 1000, 1}, BatchCase{10, 1000, 17},
                                           BatchCase{500, 5000, 16}, BatchCase{5000, 20000, 100},
                                           BatchCase{70000, 100000, 4096}));

TEST(TokenCountTable, EntriesKeepInsertionOrder) {
  TokenCountTable table;
  for (const char* key : {"c", "a", "b", "a"}) ++table[key];
  std::vector<std::string> order;
  for (const auto& entry : table) order.push_back(entry.first);
  EXPECT_EQ(order, (std::vector<std::string>{"c", "a", "b"}));
}

TEST(TokenCountTable, InsertOrAssignOverwritesOrTakesTheKey) {
  TokenCountTable table;
  table["x"] = 5;
  table.insert_or_assign(std::string("x"), 2);
  table.insert_or_assign(std::string(30, 'y'), 7);
  EXPECT_EQ(table.at("x"), 2);
  EXPECT_EQ(table.at(std::string(30, 'y')), 7);
  EXPECT_EQ(table.size(), 2u);
}

TEST(TokenCountTable, ReserveKeepsEntriesInPlace) {
  TokenCountTable table;
  table.reserve(1000);
  ++table["first"];
  const auto* first = &*table.find("first");
  for (int i = 0; i < 999; ++i) ++table["k" + std::to_string(i)];
  EXPECT_EQ(&*table.find("first"), first);
  EXPECT_EQ(table.size(), 1000u);
}

TEST(TokenCountTable, ClearEmptiesAndStaysUsable) {
  TokenCountTable table;
  for (int i = 0; i < 100; ++i) ++table[std::to_string(i)];
  table.clear();
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(table.find("1"), table.end());
  ++table["1"];
  EXPECT_EQ(table.at("1"), 1);
}

TEST(HashTokenBytes, DiffersForKeysOfEveryTailLength) {
  // Each tail length (0 to 8 bytes after whole words) takes its own load path.
  for (std::size_t n = 0; n <= 24; ++n) {
    std::string a(n, 'q');
    std::string longer = a + '\0';
    EXPECT_NE(HashTokenBytes(a.data(), a.size()), HashTokenBytes(longer.data(), longer.size())) << n;
    for (std::size_t i = 0; i < n; ++i) {
      std::string b = a;
      b[i] = 'r';
      EXPECT_NE(HashTokenBytes(a.data(), a.size()), HashTokenBytes(b.data(), b.size())) << n << " " << i;
    }
  }
}

}  // namespace
