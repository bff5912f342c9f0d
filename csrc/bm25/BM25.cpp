#include "bm25/BM25.h"

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string_view>

namespace lumo::typing::text {
namespace {

constexpr double kNearZero = 1e-09;
constexpr const char* kEmptyTrainingInput = "trainning tokens_vec should not be empty";
constexpr const char* kNotInitialized = "BM25 has not been initialized";

// Decimal text of an integer token, the key under which it is counted. Short enough to stay
// in the string's inline buffer, so no allocation per token.
std::string IntegerKey(long long token) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, token);
  return std::string(buffer, result.ptr);
}

// Occurrences of each distinct token in one list. String tokens are viewed in place rather
// than copied: the map lives only as long as the caller's list.
std::unordered_map<std::string_view, std::int64_t> TokenFrequency(const std::vector<std::string>& tokens) {
  std::unordered_map<std::string_view, std::int64_t> tf;
  tf.reserve(tokens.size());
  for (const auto& token : tokens) ++tf[token];
  return tf;
}

std::unordered_map<long long, std::int64_t> TokenFrequency(const std::vector<long long>& tokens) {
  std::unordered_map<long long, std::int64_t> tf;
  tf.reserve(tokens.size());
  for (long long token : tokens) ++tf[token];
  return tf;
}

// The statistics key of a token: the string itself, or an integer's decimal text.
const std::string& StatisticsKey(const std::string& token) { return token; }
std::string StatisticsKey(long long token) { return IntegerKey(token); }

}  // namespace

BM25::BM25(double b, double k1) : _b(b), _k1(k1) {}

template <typename Token>
void BM25::_train(const std::vector<Token>& tokens) {
  if (tokens.empty()) return;
  // Adding one per occurrence gives the same totals as adding each distinct token's count,
  // with a single hash lookup per token and no intermediate map.
  for (const auto& token : tokens) ++_doc_token_frequency[StatisticsKey(token)];
  _doc_count += 1;
  _doc_length_total += static_cast<std::int64_t>(tokens.size());
  _doc_length_average = static_cast<double>(_doc_length_total) / static_cast<double>(_doc_count);
}

void BM25::train(const std::vector<std::string>& tokens) {
  if (tokens.empty()) throw std::runtime_error(kEmptyTrainingInput);
  _train(tokens);
}

void BM25::train(const std::vector<long long>& tokens) {
  if (tokens.empty()) throw std::runtime_error(kEmptyTrainingInput);
  _train(tokens);
}

void BM25::train(const std::vector<std::vector<long long>>& tokens_vec) {
  if (tokens_vec.empty()) throw std::runtime_error(kEmptyTrainingInput);
  for (const auto& tokens : tokens_vec) _train(tokens);
}

bool BM25::_initialized() const {
  return _doc_count != 0 && std::fabs(_doc_length_average) >= kNearZero;
}

template <typename Token>
std::map<Token, double> BM25::_encode_document(const std::vector<Token>& tokens) const {
  std::map<Token, double> weights;
  if (tokens.empty()) return weights;
  if (!_initialized()) throw std::runtime_error(kNotInitialized);
  const double len = static_cast<double>(tokens.size());
  const double norm = ((len / _doc_length_average) * _b + (1.0 - _b)) * _k1;
  for (const auto& [token, count] : TokenFrequency(tokens)) {
    const double tf = static_cast<double>(count);
    weights.emplace(Token(token), tf / (norm + tf));
  }
  return weights;
}

template <typename Token>
std::map<Token, double> BM25::_encode_query(const std::vector<Token>& tokens) const {
  std::map<Token, double> weights;
  if (tokens.empty()) return weights;
  if (!_initialized()) throw std::runtime_error(kNotInitialized);
  for (const auto& token : tokens) {
    double& weight = weights.try_emplace(token, 0.0).first->second;
    // A repeated token keeps the idf it got first instead of adding up.
    if (std::fabs(weight) < kNearZero) weight = idf(StatisticsKey(token));
  }
  double sum = 0.0;
  for (const auto& entry : weights) sum += entry.second;
  // Not guarded on purpose: weights of both signs may sum to zero or less, and the result is
  // then what IEEE division gives.
  for (auto& entry : weights) entry.second /= sum;
  return weights;
}

std::map<std::string, double> BM25::encode_document(const std::vector<std::string>& tokens) const {
  return _encode_document(tokens);
}

std::map<long long, double> BM25::encode_document(const std::vector<long long>& tokens) const {
  return _encode_document(tokens);
}

std::map<std::string, double> BM25::encode_query(const std::vector<std::string>& tokens) const {
  return _encode_query(tokens);
}

std::map<long long, double> BM25::encode_query(const std::vector<long long>& tokens) const {
  return _encode_query(tokens);
}

double BM25::idf(const std::string& token) const {
  auto it = _doc_token_frequency.find(token);
  // An unseen token is treated as if it had occurred once.
  const double denominator = it != _doc_token_frequency.end() ? static_cast<double>(it->second) + 0.5 : 1.5;
  return std::log(static_cast<double>(_doc_count + 1) / denominator);
}

}  // namespace lumo::typing::text
