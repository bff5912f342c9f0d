// The model file: one JSON object with the members "_b", "_doc_count",
// "_doc_length_average", "_doc_token_frequency" and "_k1", written by the JSON library's
// writer and read back by its parser.
#include <cmath>
#include <ostream>
#include <stdexcept>

#include "bm25/BM25.h"
#include "bm25/ModelFileWriter.h"
#include "bm25/TokenKey.h"
#include "json/JSON.h"

namespace lumo::typing::text {
namespace {

constexpr const char* kTokenFrequency = "_doc_token_frequency";
constexpr const char* kDocCount = "_doc_count";
constexpr const char* kDocLengthAverage = "_doc_length_average";
constexpr const char* kB = "_b";
constexpr const char* kK1 = "_k1";

// The writer's fixed notation has no form for NaN or the infinities that the parser reads.
void RequireFinite(const char* field, double value) {
  if (!std::isfinite(value))
    throw std::runtime_error(std::string("Failed to dump: ") + field + " is not a finite number");
}

double ReadFloat(json::JSON& root, const char* key, const char* error) {
  bool ok = false;
  const double value = root[key].AsFloat(ok);
  if (!ok) throw std::runtime_error(error);
  return value;
}

}  // namespace

void BM25::dump(const std::string& path) const {
  // Checked before the file is touched, so a refused model writes nothing.
  RequireFinite(kB, _b);
  RequireFinite(kDocLengthAverage, _doc_length_average);
  RequireFinite(kK1, _k1);
  WriteModelFile(path, [this](std::ostream& out) { dump(out); });
}

void BM25::dump(std::ostream& out) const {
  RequireFinite(kB, _b);
  RequireFinite(kDocLengthAverage, _doc_length_average);
  RequireFinite(kK1, _k1);
  json::JSON root;
  json::JSON& frequency = root[kTokenFrequency];
  frequency = json::Object();
  for (const auto& [token, count] : _doc_token_frequency) frequency[EscapeTokenKey(token)] = count;
  root[kDocCount] = _doc_count;
  root[kDocLengthAverage] = _doc_length_average;
  root[kB] = _b;
  root[kK1] = _k1;
  out << root;
  out.flush();
  if (!out) throw std::runtime_error("Failed to dump: Unable to write file");
}

void BM25::load(const std::string& text) {
  if (text.empty()) throw std::runtime_error("json data should not be empty");
  json::JSON root = json::JSON::Load(text);

  // Everything is read and checked first, in the order the members are reported; the object
  // changes only after the whole document has passed.
  TokenCounts incoming;
  const json::JSON& frequency = root[kTokenFrequency];
  if (frequency.GetKind() == json::JSON::Kind::Object) {
    incoming.reserve(frequency.Entries().size());
    for (const auto& [key, value] : frequency.Entries()) {
      bool ok = false;
      const std::int64_t count = value.AsInteger(ok);
      if (!ok) throw std::runtime_error("load doc_token_frequency failed");
      incoming[UnescapeTokenKey(key)] = count;
    }
  }
  bool ok = false;
  const std::int64_t doc_count = root[kDocCount].AsInteger(ok);
  if (!ok) throw std::runtime_error("load doc_count failed");
  const double average = ReadFloat(root, kDocLengthAverage, "load doc_length_average failed");
  const double b = ReadFloat(root, kB, "load b failed");
  const double k1 = ReadFloat(root, kK1, "load k1 failed");

  // Commit. Room for every incoming key is made first, so taking the keys over (moved, not
  // copied) allocates nothing and cannot fail half-way. Counts overwrite per key; other keys
  // stay.
  _doc_token_frequency.reserve(_doc_token_frequency.size() + incoming.size());
  for (auto& [key, count] : incoming) _doc_token_frequency.insert_or_assign(std::move(key), count);
  _doc_count = doc_count;
  _doc_length_average = average;
  _b = b;
  _k1 = k1;
}

}  // namespace lumo::typing::text
