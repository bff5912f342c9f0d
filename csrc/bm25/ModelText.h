#pragma once

// The model file's text, read into statistics and written from them, without a BM25 object:
// the encoder's load and dump use it, and so does merging models trained on shards.
//
// The text is one JSON object with the members "_b", "_doc_count", "_doc_length_average",
// "_doc_token_frequency" (token to its number of occurrences) and "_k1".

#include <climits>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "bm25/TokenCountTable.h"

namespace lumo::typing::text {

// The idf of a query token divides by doc_count + 1, which must stay a 64-bit number.
constexpr std::int64_t kMaxDocCount = INT64_MAX - 1;

struct ModelStatistics {
  double b = 0.0;
  double k1 = 0.0;
  std::int64_t doc_count = 0;
  double doc_length_average = 0.0;
  // The sum of the documents' lengths, which the file does not hold: the count times the
  // average, rounded to a whole number of tokens.
  std::int64_t doc_length_total = 0;
  TokenCountTable token_frequency;
};

// Reads a model text. Syntax errors are reported by the JSON parser on standard error and read
// as fallback values, so the members are what decides; the first faulty member, in the order
// below, throws std::runtime_error:
//   "json data should not be empty"     the text is empty
//   "load doc_token_frequency failed"   present but neither an object nor null, or a count that
//                                       is not an integer of at least 0
//   "load doc_count failed"             not an integer from 0 to 2^63 - 2
//   "load doc_length_average failed"    not a number with a decimal point of at least 0, or the
//                                       total length it gives passes 2^63 - 1
//   "load b failed", "load k1 failed"   not a number with a decimal point
// A number beyond the 64-bit or double range throws std::out_of_range, one that does not convert
// std::invalid_argument. Token names are decoded as a standard JSON reader decodes them (a lone
// surrogate escape gives the three bytes of its number). Members other than these five, and the
// contents of any array or object where a number belongs, are parsed but never held, so reading
// costs memory in proportion to the token counts, not to the text.
ModelStatistics ParseModelText(const std::string& text);

// Whether statistics can encode: the encoder refuses ("BM25 has not been initialized") until it
// holds a document and an average length whose magnitude is at least 1e-9.
bool CanEncode(std::int64_t doc_count, double doc_length_average);

// The total length a document count and average stand for, rounded; false if it passes 2^63 - 1.
bool DocLengthTotal(std::int64_t doc_count, double average, std::int64_t& total);

// Writes the model text: members and tokens in byte order of their written form, two-space
// indentation, doubles with six decimals, no line break at the end. Throws "Failed to dump: ..."
// for a double that is not finite, and for a stream that fails.
// Throws "Failed to dump: _b is not a finite number" (likewise _doc_length_average, _k1).
void RequireWritableDoubles(double b, double doc_length_average, double k1);

void WriteModelText(std::ostream& out, double b, std::int64_t doc_count, double doc_length_average,
                    const TokenCountTable& token_frequency, double k1);

// Statistics of models trained on disjoint shards of one corpus, added up: counts exactly, and
// the average from the shards' total lengths. A shard's total is recovered exactly from its
// six-decimal average while exactly one whole number lies within the rounding (always so below a
// million documents), which makes the sum the very model one training on all shards gives.
class ModelMerge {
 public:
  // Adds one shard; the caller compares b and k1. A sum that would pass its limit throws
  // std::runtime_error "merge doc_count failed" ("merge doc_token_frequency failed",
  // "merge doc_length_average failed") and leaves the sum as it was.
  void Add(const ModelStatistics& shard);
  std::size_t size() const { return models_; }
  // The merged statistics, with b and k1 of the first shard.
  const ModelStatistics& Result() const { return merged_; }

 private:
  ModelStatistics merged_;
  std::size_t models_ = 0;
  bool whole_ = true;  // every shard's total so far was recovered as a whole number
  __int128 whole_total_ = 0;
  long double total_ = 0.0L;  // the same sum, shards that were not whole included
};

}  // namespace lumo::typing::text
