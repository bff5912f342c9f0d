#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bm25/TokenCountTable.h"

namespace lumo::typing::text {

// BM25-style sparse encoder. Training gathers corpus statistics one document at a time;
// documents are encoded as saturated, length-normalised term frequencies and queries as
// inverse document frequencies normalised to sum 1, so that a dot product scores a match.
//
// String tokens and integer tokens share one statistic: an integer token is counted under
// its decimal text. Counts are 64-bit, and a train that would carry one past its limit is
// refused ("train doc_count failed", "train doc_length_total failed",
// "train doc_token_frequency failed") with nothing changed, so no statistic ever wraps.
class BM25 {
 public:
  using TokenCounts = TokenCountTable;
  // A sparse vector as (position of the token's first occurrence in the input, weight) pairs
  // in ascending token order. It saves a copy of every token and a tree per call for callers
  // (the Python binding) that convert the result right away and still hold the input.
  using PositionedWeights = std::vector<std::pair<std::size_t, double>>;

  BM25(double b, double k1);

  double b() const { return _b; }
  void b(double value) { _b = value; }
  double k1() const { return _k1; }
  void k1(double value) { _k1 = value; }

  void train(const std::vector<std::string>& tokens);
  void train(const std::vector<std::string_view>& tokens);
  void train(const std::vector<long long>& tokens);
  // Several documents at once, all or nothing; empty inner lists are not documents and are
  // skipped.
  void train(const std::vector<std::vector<long long>>& tokens_vec);

  // Writes the model document to `path`. A failure raises "Failed to dump: ..." and leaves an
  // earlier file at `path` as it was (see ModelFileWriter.h).
  void dump(const std::string& path) const;
  // Writes the model document to a stream; raises "Failed to dump: ..." if the stream fails.
  void dump(std::ostream& out) const;
  // Reads the statistics and parameters from a model document's text (see ModelText.h), and
  // the total length from its count and average. Either the whole document is taken or, on any
  // error, nothing changes.
  void load(const std::string& text);

  std::map<std::string, double> encode_document(const std::vector<std::string>& tokens) const;
  std::map<long long, double> encode_document(const std::vector<long long>& tokens) const;
  std::map<std::string, double> encode_query(const std::vector<std::string>& tokens) const;
  std::map<long long, double> encode_query(const std::vector<long long>& tokens) const;

  PositionedWeights document_weights(const std::vector<std::string_view>& tokens) const;
  PositionedWeights document_weights(const std::vector<long long>& tokens) const;
  PositionedWeights query_weights(const std::vector<std::string_view>& tokens) const;
  PositionedWeights query_weights(const std::vector<long long>& tokens) const;

  double idf(const std::string& token) const;

  // Read-only views of the statistics, for callers that persist or inspect a model.
  std::int64_t doc_count() const { return _doc_count; }
  std::int64_t doc_length_total() const { return _doc_length_total; }
  double doc_length_average() const { return _doc_length_average; }
  const TokenCounts& doc_token_frequency() const { return _doc_token_frequency; }

 private:
  template <typename Token>
  void _train(const std::vector<Token>& tokens);
  // Trains the documents (pointers to token lists; empty lists are skipped) all or nothing.
  template <typename Documents>
  void _train_all(const Documents& documents);
  bool _initialized() const;
  double _idf(std::string_view token) const;
  double _idf_of(const TokenCounts::Entry* counted) const;
  template <typename Token>
  PositionedWeights _document_weights(const std::vector<Token>& tokens) const;
  template <typename Token>
  PositionedWeights _query_weights(const std::vector<Token>& tokens) const;

  double _b;
  double _k1;
  std::int64_t _doc_count = 0;
  std::int64_t _doc_length_total = 0;
  double _doc_length_average = 0.0;
  TokenCounts _doc_token_frequency;
};

}  // namespace lumo::typing::text
