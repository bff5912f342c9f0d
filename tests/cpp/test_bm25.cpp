#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bm25/BM25.h"
#include "bm25/TokenRuns.h"

using lumo::typing::text::BM25;

namespace {

std::int64_t CountOf(const BM25& model, const std::string& key) {
  auto it = model.doc_token_frequency().find(key);
  return it == model.doc_token_frequency().end() ? -1 : it->second;
}

TEST(BM25Training, CountsOccurrencesNotDocuments) {
  BM25 model(0.75, 1.2);
  model.train(std::vector<std::string>{"a", "a", "b"});
  EXPECT_EQ(model.doc_count(), 1);
  EXPECT_EQ(model.doc_length_total(), 3);
  EXPECT_DOUBLE_EQ(model.doc_length_average(), 3.0);
  EXPECT_EQ(CountOf(model, "a"), 2);
  EXPECT_EQ(CountOf(model, "b"), 1);
}

TEST(BM25Training, LengthTotalDrivesTheAverage) {
  BM25 model(0.75, 1.2);
  model.train(std::vector<std::string>{"x", "y"});
  model.train(std::vector<long long>{1, 2, 3, 4, 5});
  EXPECT_EQ(model.doc_length_total(), 7);
  EXPECT_DOUBLE_EQ(model.doc_length_average(), 3.5);
  model.train(std::vector<std::string>{"z"});
  EXPECT_EQ(model.doc_length_total(), 8);
  EXPECT_DOUBLE_EQ(model.doc_length_average(), 8.0 / 3.0);
}

TEST(BM25Training, IntegerAndStringTokensShareOneKey) {
  BM25 model(0.75, 1.2);
  model.train(std::vector<long long>{7, 7});
  model.train(std::vector<std::string>{"7"});
  model.train(std::vector<long long>{-5});
  EXPECT_EQ(model.doc_token_frequency().size(), 2u);
  EXPECT_EQ(CountOf(model, "7"), 3);
  EXPECT_EQ(CountOf(model, "-5"), 1);
  EXPECT_EQ(model.doc_count(), 3);
}

TEST(BM25Training, ListOfListsSkipsEmptyDocuments) {
  BM25 model(0.75, 1.2);
  model.train(std::vector<std::vector<long long>>{{1, 2}, {}, {2}});
  EXPECT_EQ(model.doc_count(), 2);
  EXPECT_EQ(model.doc_length_total(), 3);
  EXPECT_EQ(CountOf(model, "2"), 2);
}

TEST(BM25Training, EmptyInputThrowsAndChangesNothing) {
  BM25 model(0.75, 1.2);
  model.train(std::vector<std::string>{"a"});
  const auto check_unchanged = [&] {
    EXPECT_EQ(model.doc_count(), 1);
    EXPECT_EQ(model.doc_length_total(), 1);
    EXPECT_EQ(model.doc_token_frequency().size(), 1u);
  };
  const std::string message = "trainning tokens_vec should not be empty";
  try {
    model.train(std::vector<std::vector<long long>>{});
    FAIL() << "empty outer list accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(e.what(), message);
  }
  check_unchanged();
  EXPECT_THROW(model.train(std::vector<std::string>{}), std::runtime_error);
  EXPECT_THROW(model.train(std::vector<long long>{}), std::runtime_error);
  check_unchanged();
}

TEST(BM25Idf, UnseenTokenCountsAsOneOccurrence) {
  BM25 model(0.75, 1.2);
  for (int i = 0; i < 4; ++i) model.train(std::vector<std::string>{"a", "b"});
  EXPECT_DOUBLE_EQ(model.idf("never"), std::log(5.0 / 1.5));
  EXPECT_DOUBLE_EQ(model.idf("a"), std::log(5.0 / 4.5));
}

TEST(BM25Idf, TokenMoreFrequentThanDocumentsIsNegative) {
  BM25 model(0.75, 1.2);
  model.train(std::vector<std::string>{"a", "a"});
  EXPECT_NEAR(model.idf("a"), std::log(2.0 / 2.5), 1e-15);
  EXPECT_LT(model.idf("a"), 0.0);
}

TEST(BM25Encoding, QueryNormalisationIsUnguarded) {
  // Weights of opposite sign that cancel: the division by a zero sum is carried out.
  BM25 model(0.75, 1.2);
  model.train(std::vector<std::string>{"n", "n", "n"});  // idf(n) = log(2 / 3.5) < 0
  const double negative = std::log(2.0 / 3.5);
  const double positive = std::log(2.0 / 1.5);
  auto weights = model.encode_query(std::vector<std::string>{"n", "p"});
  ASSERT_EQ(weights.size(), 2u);
  EXPECT_DOUBLE_EQ(weights["n"], negative / (negative + positive));
  EXPECT_DOUBLE_EQ(weights["p"], positive / (negative + positive));
  EXPECT_GT(weights["n"], 1.0);
  EXPECT_LT(weights["p"], 0.0);
}

TEST(BM25Encoding, NearZeroAverageCountsAsUntrained) {
  BM25 model(0.75, 1.2);
  EXPECT_TRUE(model.encode_document(std::vector<long long>{}).empty());
  EXPECT_THROW(model.encode_document(std::vector<long long>{1}), std::runtime_error);
  EXPECT_THROW(model.encode_query(std::vector<std::string>{"a"}), std::runtime_error);
}

}  // namespace

namespace {

using lumo::typing::text::DistinctRuns;

// The distinct tokens must come out in unsigned byte order, each with its first position and
// count, including tokens that agree on the sort's eight-byte fast-comparison prefix.
TEST(DistinctRuns, StringTokensInByteOrderWithFirstPositionAndCount) {
  const std::vector<std::string> owned = {"abcdefgh2", "b",        "abcdefgh", std::string("abcdefgh\0", 9),
                                          "abcdefgh1", "\xc3\xa9", "b",        "abcdefgh1",
                                          "",          "a",        ""};
  const std::vector<std::string_view> tokens(owned.begin(), owned.end());
  std::vector<std::string> expected = owned;
  std::sort(expected.begin(), expected.end());
  expected.erase(std::unique(expected.begin(), expected.end()), expected.end());

  const auto runs = DistinctRuns(tokens);
  ASSERT_EQ(runs.size(), expected.size());
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const std::string& token = owned[runs[i].first];
    EXPECT_EQ(token, expected[i]) << i;
    const auto first = std::find(owned.begin(), owned.end(), token) - owned.begin();
    EXPECT_EQ(runs[i].first, static_cast<std::size_t>(first));
    EXPECT_EQ(runs[i].count, static_cast<std::size_t>(std::count(owned.begin(), owned.end(), token)));
  }
}

// Tokens of every size up to past the sixteen bytes that the sort compares as numbers, over
// an alphabet with the zero byte and a byte above 0x7F, against std::map's ordering.
TEST(DistinctRuns, StringTokensOfEverySizeMatchAnOrderedMap) {
  const std::string alphabet("\0a\xff", 3);
  std::uint64_t state = 99;
  for (int round = 0; round < 50; ++round) {
    std::vector<std::string> owned;
    for (int i = 0; i < 60; ++i) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      // Short tokens vary in every byte, longer ones past a shared twelve-byte stem.
      const std::size_t size = (state >> 40) % 21;  // 0 to 20 bytes
      const std::size_t stem = size > 12 ? 12 : 0;
      std::string token(size, 'a');
      for (std::size_t k = stem; k < size; ++k) token[k] = alphabet[(state >> (k * 3 % 60)) % 3];
      owned.push_back(token);
    }
    std::map<std::string, std::pair<std::size_t, std::size_t>> model;  // first position, count
    for (std::size_t i = 0; i < owned.size(); ++i) {
      auto [it, fresh] = model.try_emplace(owned[i], i, 0);
      ++it->second.second;
    }
    const auto runs = DistinctRuns(std::vector<std::string_view>(owned.begin(), owned.end()));
    ASSERT_EQ(runs.size(), model.size());
    auto it = model.begin();
    for (const auto& run : runs) {
      EXPECT_EQ(owned[run.first], it->first);
      EXPECT_EQ(run.first, it->second.first);
      EXPECT_EQ(run.count, it->second.second);
      ++it;
    }
  }
}

TEST(DistinctRuns, IntegerTokensInNumericOrder) {
  const std::vector<long long> tokens = {3, -1, 3, -20, 0, -1, 3};
  const auto runs = DistinctRuns(tokens);
  std::vector<std::pair<long long, std::size_t>> got;
  for (const auto& run : runs) got.emplace_back(tokens[run.first], run.count);
  const std::vector<std::pair<long long, std::size_t>> expected = {{-20, 1}, {-1, 2}, {0, 1}, {3, 3}};
  EXPECT_EQ(got, expected);
  EXPECT_EQ(runs.back().first, 0u);
}

TEST(BM25Encoding, ViewAndStringFormsAgree) {
  BM25 model(0.75, 1.2);
  model.train(std::vector<std::string>{"a", "b", "b", "c"});
  const std::vector<std::string> doc = {"b", "z", "b", "a"};
  const auto as_map = model.encode_document(doc);
  const auto positioned = model.document_weights(std::vector<std::string_view>(doc.begin(), doc.end()));
  ASSERT_EQ(as_map.size(), positioned.size());
  auto it = as_map.begin();
  for (const auto& [position, weight] : positioned) {
    EXPECT_EQ(doc[position], it->first);
    EXPECT_DOUBLE_EQ(weight, it->second);
    ++it;
  }
}

}  // namespace
