#include "bm25/ModelText.h"

#include <cmath>
#include <ostream>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "json/JSON.h"
#include "json/JSONInternal.h"
#include "json/StringEscape.h"

namespace lumo::typing::text {
namespace {

using json::JSON;
using json::internal::Build;
using json::internal::MemberReader;
using json::internal::parse_members;
using json::internal::parse_next;

constexpr const char* kTokenFrequency = "_doc_token_frequency";
constexpr const char* kDocCount = "_doc_count";
constexpr const char* kDocLengthAverage = "_doc_length_average";
constexpr const char* kB = "_b";
constexpr const char* kK1 = "_k1";

// Marks a token whose value is not an integer; a later member of the same name may replace it.
constexpr std::int64_t kNotACount = -1;

class FrequencyReader : public MemberReader {
 public:
  explicit FrequencyReader(TokenCountTable& counts) : counts_(counts) {}

  void Member(std::string&& key, const std::string& text, std::size_t& offset, int depth) override {
    bool ok = false;
    const std::int64_t count = parse_next(text, offset, depth, Build::Shape).AsInteger(ok);
    counts_.insert_or_assign(std::move(key), ok ? count : kNotACount);
  }

 private:
  TokenCountTable& counts_;
};

// Keeps the five members (a later duplicate replaces an earlier one, as in a JSON object) and
// parses everything else without holding it.
class RootReader : public MemberReader {
 public:
  explicit RootReader(TokenCountTable& counts) : counts_(counts) {}

  void Member(std::string&& key, const std::string& text, std::size_t& offset, int depth) override {
    if (key == kTokenFrequency) {
      counts_.clear();
      FrequencyReader reader(counts_);
      frequency_kind = parse_members(text, offset, depth, reader)
                           ? JSON::Kind::Object
                           : parse_next(text, offset, depth, Build::Shape).GetKind();
      return;
    }
    JSON value = parse_next(text, offset, depth, Build::Shape);
    if (key == kDocCount)
      doc_count = std::move(value);
    else if (key == kDocLengthAverage)
      average = std::move(value);
    else if (key == kB)
      b = std::move(value);
    else if (key == kK1)
      k1 = std::move(value);
  }

  JSON::Kind frequency_kind = JSON::Kind::Null;  // Null also when the member is missing
  JSON doc_count, average, b, k1;

 private:
  TokenCountTable& counts_;
};

double ReadFloat(const JSON& value, const char* error) {
  bool ok = false;
  const double number = value.AsFloat(ok);
  if (!ok) throw std::runtime_error(error);
  return number;
}

// The writer's fixed notation has no form for NaN or the infinities.
void RequireFinite(const char* field, double value) {
  if (!std::isfinite(value))
    throw std::runtime_error(std::string("Failed to dump: ") + field + " is not a finite number");
}

}  // namespace

void RequireWritableDoubles(double b, double doc_length_average, double k1) {
  RequireFinite(kB, b);
  RequireFinite(kDocLengthAverage, doc_length_average);
  RequireFinite(kK1, k1);
}

bool CanEncode(std::int64_t doc_count, double doc_length_average) {
  constexpr double kNearZero = 1e-09;
  return doc_count != 0 && std::fabs(doc_length_average) >= kNearZero;
}

bool DocLengthTotal(std::int64_t doc_count, double average, std::int64_t& total) {
  const long double product = static_cast<long double>(doc_count) * static_cast<long double>(average);
  const long double rounded = std::nearbyint(product);
  // A long double holds every 64-bit integer exactly, so the comparison is exact too.
  if (!(rounded >= 0.0L && rounded <= static_cast<long double>(INT64_MAX))) return false;
  total = static_cast<std::int64_t>(rounded);
  return true;
}

ModelStatistics ParseModelText(const std::string& text) {
  if (text.empty()) throw std::runtime_error("json data should not be empty");
  ModelStatistics model;
  RootReader root(model.token_frequency);
  std::size_t offset = 0;
  if (!parse_members(text, offset, 0, root)) parse_next(text, offset, 0, Build::Shape);

  if (root.frequency_kind != JSON::Kind::Object) {
    model.token_frequency.clear();
    if (root.frequency_kind != JSON::Kind::Null) throw std::runtime_error("load doc_token_frequency failed");
  }
  for (const auto& entry : model.token_frequency) {
    if (entry.second < 0) throw std::runtime_error("load doc_token_frequency failed");
  }
  bool ok = false;
  model.doc_count = root.doc_count.AsInteger(ok);
  if (!ok || model.doc_count < 0 || model.doc_count > kMaxDocCount) throw std::runtime_error("load doc_count failed");
  model.doc_length_average = ReadFloat(root.average, "load doc_length_average failed");
  if (!(model.doc_length_average >= 0.0) ||
      !DocLengthTotal(model.doc_count, model.doc_length_average, model.doc_length_total))
    throw std::runtime_error("load doc_length_average failed");
  model.b = ReadFloat(root.b, "load b failed");
  model.k1 = ReadFloat(root.k1, "load k1 failed");
  return model;
}

void WriteModelText(std::ostream& out, double b, std::int64_t doc_count, double doc_length_average,
                    const TokenCountTable& token_frequency, double k1) {
  RequireWritableDoubles(b, doc_length_average, k1);
  JSON root;
  JSON& frequency = root[kTokenFrequency];
  frequency = json::Object();
  // Token keys are written in standard JSON, which the reader decodes back to the same bytes.
  std::string key;
  for (const auto& [token, count] : token_frequency) {
    key.clear();
    json::AppendStandardEscaped(key, token);
    frequency[key] = count;
  }
  root[kDocCount] = doc_count;
  root[kDocLengthAverage] = doc_length_average;
  root[kB] = b;
  root[kK1] = k1;
  out << root;
  out.flush();
  if (!out) throw std::runtime_error("Failed to dump: Unable to write file");
}

void ModelMerge::Add(const ModelStatistics& shard) {
  // Everything is checked before anything changes.
  if (shard.doc_count > kMaxDocCount - merged_.doc_count) throw std::runtime_error("merge doc_count failed");
  for (const auto& [token, count] : shard.token_frequency) {
    const auto held = merged_.token_frequency.find(token);
    if (held != merged_.token_frequency.end() && count > INT64_MAX - held->second)
      throw std::runtime_error("merge doc_token_frequency failed");
  }
  // The shard's total: the whole number within the rounding of its average, if only one is.
  const long double product = static_cast<long double>(shard.doc_length_average) * shard.doc_count;
  const long double whole = std::nearbyint(product);
  const long double slack = 5e-7L * shard.doc_count;
  const bool shard_whole = slack < 0.5L && std::fabs(product - whole) <= slack;
  const long double total = total_ + (shard_whole ? whole : product);
  if (total >= 9223372036854775807.0L) throw std::runtime_error("merge doc_length_average failed");

  merged_.token_frequency.reserve(merged_.token_frequency.size() + shard.token_frequency.size());
  for (const auto& [token, count] : shard.token_frequency) merged_.token_frequency[token] += count;
  if (models_ == 0) {
    merged_.b = shard.b;
    merged_.k1 = shard.k1;
  }
  ++models_;
  merged_.doc_count += shard.doc_count;
  total_ = total;
  whole_ = whole_ && shard_whole;
  if (shard_whole) whole_total_ += static_cast<__int128>(whole);
  // The same double division a model trained on the whole corpus performs.
  if (merged_.doc_count == 0) {
    merged_.doc_length_average = 0.0;
  } else if (whole_) {
    merged_.doc_length_average = static_cast<double>(whole_total_) / static_cast<double>(merged_.doc_count);
  } else {
    merged_.doc_length_average = static_cast<double>(total_ / merged_.doc_count);
  }
  DocLengthTotal(merged_.doc_count, merged_.doc_length_average, merged_.doc_length_total);
}

}  // namespace lumo::typing::text
