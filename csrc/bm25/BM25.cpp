#include "bm25/BM25.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <stdexcept>
#include <type_traits>

#include "bm25/ModelText.h"
#include "bm25/TokenRuns.h"

namespace lumo::typing::text {
namespace {

constexpr const char* kEmptyTrainingInput = "trainning tokens_vec should not be empty";
constexpr const char* kNotInitialized = "BM25 has not been initialized";

std::vector<std::string_view> Views(const std::vector<std::string>& tokens) {
  return std::vector<std::string_view>(tokens.begin(), tokens.end());
}

template <typename Token, typename MapKey = Token>
std::map<MapKey, double> ToMap(const std::vector<Token>& tokens, const BM25::PositionedWeights& weights) {
  std::map<MapKey, double> map;
  for (const auto& [position, weight] : weights) map.emplace_hint(map.end(), MapKey(tokens[position]), weight);
  return map;
}

constexpr const char* kDocCountOverflow = "train doc_count failed";
constexpr const char* kLengthOverflow = "train doc_length_total failed";
constexpr const char* kCountOverflow = "train doc_token_frequency failed";

// Counts one occurrence per token into a batch, in blocks whose statistics keys are viewed in
// place (strings) or written into a local buffer (the decimal text of integers). False when a
// count would pass 2^63 - 1.
bool CountOccurrences(BM25::TokenCounts::Batch& counts, const std::vector<std::string_view>& tokens) {
  return counts.Add(tokens.data(), tokens.size());
}

bool CountOccurrences(BM25::TokenCounts::Batch& counts, const std::vector<std::string>& tokens) {
  constexpr std::size_t kBlock = 64;
  std::string_view keys[kBlock];
  for (std::size_t start = 0; start < tokens.size(); start += kBlock) {
    const std::size_t m = std::min(kBlock, tokens.size() - start);
    for (std::size_t i = 0; i < m; ++i) keys[i] = tokens[start + i];
    if (!counts.Add(keys, m)) return false;
  }
  return true;
}

bool CountOccurrences(BM25::TokenCounts::Batch& counts, const std::vector<long long>& tokens) {
  constexpr std::size_t kBlock = 64;
  char text[kBlock][24];
  std::string_view keys[kBlock];
  for (std::size_t start = 0; start < tokens.size(); start += kBlock) {
    const std::size_t m = std::min(kBlock, tokens.size() - start);
    for (std::size_t i = 0; i < m; ++i) {
      const auto result = std::to_chars(text[i], text[i] + sizeof text[i], tokens[start + i]);
      keys[i] = std::string_view(text[i], static_cast<std::size_t>(result.ptr - text[i]));
    }
    if (!counts.Add(keys, m)) return false;
  }
  return true;
}

}  // namespace

BM25::BM25(double b, double k1) : _b(b), _k1(k1) {}

template <typename Documents>
void BM25::_train_all(const Documents& documents) {
  // All or nothing: the limits are checked and the counts added in a batch that is taken back if
  // anything fails part-way (a count at its limit, or memory running out), before the document
  // count and total change, which cannot fail.
  std::int64_t documents_added = 0;
  std::int64_t length_added = 0;
  std::size_t occurrences = 0;
  for (const auto* tokens : documents) {
    if (tokens->empty()) continue;
    if (documents_added >= kMaxDocCount - _doc_count) throw std::runtime_error(kDocCountOverflow);
    const auto size = static_cast<std::int64_t>(tokens->size());
    if (size > INT64_MAX - _doc_length_total - length_added) throw std::runtime_error(kLengthOverflow);
    ++documents_added;
    length_added += size;
    occurrences += tokens->size();
  }
  if (documents_added == 0) return;
  TokenCounts::Batch batch(_doc_token_frequency, occurrences);
  for (const auto* tokens : documents) {
    if (!CountOccurrences(batch, *tokens)) throw std::runtime_error(kCountOverflow);
  }
  batch.Commit();
  _doc_count += documents_added;
  _doc_length_total += length_added;
  _doc_length_average = static_cast<double>(_doc_length_total) / static_cast<double>(_doc_count);
}

template <typename Token>
void BM25::_train(const std::vector<Token>& tokens) {
  const std::vector<Token>* one[] = {&tokens};
  _train_all(one);
}

void BM25::train(const std::vector<std::string>& tokens) {
  if (tokens.empty()) throw std::runtime_error(kEmptyTrainingInput);
  _train(tokens);
}

void BM25::train(const std::vector<std::string_view>& tokens) {
  if (tokens.empty()) throw std::runtime_error(kEmptyTrainingInput);
  _train(tokens);
}

void BM25::train(const std::vector<long long>& tokens) {
  if (tokens.empty()) throw std::runtime_error(kEmptyTrainingInput);
  _train(tokens);
}

void BM25::train(const std::vector<std::vector<long long>>& tokens_vec) {
  if (tokens_vec.empty()) throw std::runtime_error(kEmptyTrainingInput);
  std::vector<const std::vector<long long>*> documents;
  documents.reserve(tokens_vec.size());
  for (const auto& tokens : tokens_vec) documents.push_back(&tokens);
  _train_all(documents);
}

bool BM25::_initialized() const { return CanEncode(_doc_count, _doc_length_average); }

template <typename Token>
BM25::PositionedWeights BM25::_document_weights(const std::vector<Token>& tokens) const {
  if (tokens.empty()) return {};
  if (!_initialized()) throw std::runtime_error(kNotInitialized);
  const double len = static_cast<double>(tokens.size());
  const double norm = ((len / _doc_length_average) * _b + (1.0 - _b)) * _k1;
  PositionedWeights weights;
  for (const auto& run : DistinctRuns(tokens)) {
    const double tf = static_cast<double>(run.count);
    weights.emplace_back(run.first, tf / (norm + tf));
  }
  return weights;
}

template <typename Token>
BM25::PositionedWeights BM25::_query_weights(const std::vector<Token>& tokens) const {
  if (tokens.empty()) return {};
  if (!_initialized()) throw std::runtime_error(kNotInitialized);
  // A repeated token counts once, with its own idf: duplicates do not add up.
  const std::vector<TokenRun> runs = DistinctRuns(tokens);
  PositionedWeights weights(runs.size());
  // Looked up a block at a time with the keys on the stack: a query allocates nothing here.
  constexpr std::size_t kBlock = 16;
  std::string_view keys[kBlock];
  char text[kBlock][24];  // decimal text of integer tokens
  const TokenCounts::Entry* found[kBlock];
  for (std::size_t start = 0; start < runs.size(); start += kBlock) {
    const std::size_t m = std::min(kBlock, runs.size() - start);
    for (std::size_t i = 0; i < m; ++i) {
      const auto& token = tokens[runs[start + i].first];
      if constexpr (std::is_same_v<Token, long long>) {
        const auto result = std::to_chars(text[i], text[i] + sizeof text[i], token);
        keys[i] = std::string_view(text[i], static_cast<std::size_t>(result.ptr - text[i]));
      } else {
        keys[i] = token;
      }
    }
    _doc_token_frequency.FindEach(keys, m, found);
    for (std::size_t i = 0; i < m; ++i) weights[start + i] = {runs[start + i].first, _idf_of(found[i])};
  }
  double sum = 0.0;  // added in ascending key order
  for (const auto& entry : weights) sum += entry.second;
  // Not guarded on purpose: weights of both signs may sum to zero or less, and the result is
  // then what IEEE division gives.
  for (auto& entry : weights) entry.second /= sum;
  return weights;
}

BM25::PositionedWeights BM25::document_weights(const std::vector<std::string_view>& tokens) const {
  return _document_weights(tokens);
}

BM25::PositionedWeights BM25::document_weights(const std::vector<long long>& tokens) const {
  return _document_weights(tokens);
}

BM25::PositionedWeights BM25::query_weights(const std::vector<std::string_view>& tokens) const {
  return _query_weights(tokens);
}

BM25::PositionedWeights BM25::query_weights(const std::vector<long long>& tokens) const {
  return _query_weights(tokens);
}

std::map<std::string, double> BM25::encode_document(const std::vector<std::string>& tokens) const {
  return ToMap(tokens, _document_weights(Views(tokens)));
}

std::map<long long, double> BM25::encode_document(const std::vector<long long>& tokens) const {
  return ToMap(tokens, _document_weights(tokens));
}

std::map<std::string, double> BM25::encode_query(const std::vector<std::string>& tokens) const {
  return ToMap(tokens, _query_weights(Views(tokens)));
}

std::map<long long, double> BM25::encode_query(const std::vector<long long>& tokens) const {
  return ToMap(tokens, _query_weights(tokens));
}

double BM25::idf(const std::string& token) const { return _idf(token); }

double BM25::_idf(std::string_view token) const {
  auto it = _doc_token_frequency.find(token);
  return _idf_of(it != _doc_token_frequency.end() ? &*it : nullptr);
}

double BM25::_idf_of(const TokenCounts::Entry* counted) const {
  // An unseen token is treated as if it had occurred once.
  const double denominator = counted != nullptr ? static_cast<double>(counted->second) + 0.5 : 1.5;
  return std::log(static_cast<double>(_doc_count + 1) / denominator);
}

}  // namespace lumo::typing::text
