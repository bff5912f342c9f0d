#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "bm25/BM25.h"

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
