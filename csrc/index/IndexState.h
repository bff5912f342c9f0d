#pragma once

// The working types of InvertedIndex, shared by the files that implement it (the index itself,
// its search, its commits): not part of its interface, so only those files include this.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "index/InvertedIndex.h"

namespace lumo::index {

// Document numbers are 32-bit, and the largest one means "no document".
inline constexpr std::uint64_t kMaxDocuments = 0xFFFFFFFEu;

inline bool Better(const ScoredDocument& a, const ScoredDocument& b) {
  return a.score > b.score || (a.score == b.score && a.doc < b.doc);
}

inline std::uint64_t WordsFor(std::uint64_t docs) { return (docs + 63) / 64; }

inline bool BitSet(const std::vector<std::uint64_t>& bits, std::uint32_t i) { return (bits[i >> 6] >> (i & 63)) & 1u; }

inline std::string Hex8(std::uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof(text), "%08x", static_cast<unsigned>(value & 0xFFFFFFFFu));
  return text;
}

struct InvertedIndex::SegmentState {
  std::shared_ptr<const Segment> segment;
  std::string name;  // files: name + ".seg", name + ".live." + generation
  std::uint64_t base = 0;
  std::vector<std::uint64_t> live;  // bit per local document
  std::uint32_t live_count = 0;
  std::uint64_t totals[2] = {0, 0};    // over live documents
  std::vector<std::uint32_t> removed;  // local documents removed since the segment was built, ascending
  mutable std::string live_name;       // empty until saved with this bitset
  std::uint64_t live_generation = 0;
  std::shared_ptr<const std::string> owned_bytes;  // when built in memory
  std::shared_ptr<const DocumentStore> store;      // file: name + ".docs"; null when not stored
  mutable std::mutex hits_mutex;
  mutable std::unordered_map<const TermEntry*, std::uint32_t> removed_hits;

  std::uint64_t end() const { return base + segment->doc_count(); }
  bool IsLive(std::uint32_t local) const { return BitSet(live, local); }
};

struct InvertedIndex::QueryTerm {
  std::uint32_t id;
  std::uint8_t field;
  float weight;      // qtf times the field weight
  float weight_idf;  // weight * idf: the factor of the term's saturation in a score
};

// The parts of the score that depend on the collection, fixed for one search.
struct InvertedIndex::Scoring {
  double norm_base[2];   // k1 * (1 - b), or k1 with no average
  double norm_slope[2];  // k1 * b / avgdl
  double mean[2];        // avgdl, 0 with none
  double b;
  double k1;
  float k1_plus_1;

  float Norm(std::uint32_t length, int field) const {
    // Computed as k1 * (1 - b + b * |d| / avgdl), in this order, so scores keep every bit they
    // had before segments (ties, and so rankings, stay the same).
    const double relative = mean[field] > 0 ? length / mean[field] : 1.0;
    return static_cast<float>(k1 * (1.0 - b + b * relative));
  }
  // Norm(length, field) for lengths below norm_table_size, when a search has filled the
  // table (the same floats, computed once instead of per posting).
  const float* norm_table[2] = {nullptr, nullptr};
  std::uint32_t norm_table_size = 0;

  // The saturation of one field with what it reads copied out, for loops over many postings:
  // the compiler keeps copies in registers, where members could be aliased by the loop's stores.
  struct FieldSaturation {
    const Scoring* scoring;
    const float* norms;
    std::uint32_t table_size;
    float k1_plus_1;
    int field;
    float operator()(std::uint32_t tf, std::uint32_t length) const {
      const auto tf_f = static_cast<float>(tf);
      const float norm = length < table_size ? norms[length] : scoring->Norm(length, field);
      return tf_f * k1_plus_1 / (tf_f + norm);
    }
  };
  FieldSaturation ForField(int field) const { return {this, norm_table[field], norm_table_size, k1_plus_1, field}; }
  float Saturation(std::uint32_t tf, std::uint32_t length, int field) const { return ForField(field)(tf, length); }
  // At least the saturation of any tf <= max_tf at any length >= min_length (tf saturated:
  // unbounded, whose limit is k1 + 1).
  double SaturationBound(std::uint32_t max_tf, std::uint32_t min_length, int field) const {
    if (max_tf >= kSaturatedTf) return k1 + 1.0;
    const double norm = norm_base[field] + norm_slope[field] * min_length;
    return max_tf * (k1 + 1.0) / (max_tf + norm);
  }
  double BlockBound(const BlockMeta& meta, int field) const {
    double largest = 0;
    for (int i = 0; i < kBoundPairs; ++i) {
      if (meta.tf[i] != 0) largest = std::max(largest, SaturationBound(meta.tf[i], meta.length[i], field));
    }
    return largest;
  }
};

// The k best documents seen so far; the front of the heap is the weakest of them.
class InvertedIndex::TopK {
 public:
  void Reset(std::size_t k) {
    k_ = k;
    heap_.clear();
  }
  bool full() const { return heap_.size() >= k_; }
  // Scores at or below this cannot enter (documents come in ascending order, so a tie loses).
  double threshold() const {
    return full() ? static_cast<double>(heap_.front().score) : -std::numeric_limits<double>::infinity();
  }
  bool Offer(std::uint32_t doc, float score) {
    const ScoredDocument candidate{doc, score};
    if (!full()) {
      heap_.push_back(candidate);
      std::push_heap(heap_.begin(), heap_.end(), Better);
      return true;
    }
    if (!Better(candidate, heap_.front())) return false;
    std::pop_heap(heap_.begin(), heap_.end(), Better);
    heap_.back() = candidate;
    std::push_heap(heap_.begin(), heap_.end(), Better);
    return true;
  }
  void TakeSorted(std::vector<ScoredDocument>& out) {
    std::sort(heap_.begin(), heap_.end(), Better);
    out.assign(heap_.begin(), heap_.end());
  }

 private:
  std::size_t k_ = 0;
  std::vector<ScoredDocument> heap_;
};

// Working memory of a search, kept per thread across queries: nothing sized by the documents.
class InvertedIndex::Scratch {
 public:
  std::vector<PostingCursor> cursors;
  std::vector<std::size_t> term_of;  // cursor -> index of its query term
  std::vector<std::size_t> order;    // cursors by ascending bound
  std::vector<double> bound;         // per cursor
  std::vector<double> prefix;        // summed bounds along `order`
  std::vector<float> contribution;   // per cursor, for the current candidate
  std::vector<std::uint8_t> matched;
  std::vector<const TermEntry*> entries;               // per cursor
  std::vector<std::pair<std::uint32_t, double>> pool;  // seeding: (document, partial score)
  std::vector<std::uint32_t> seeded;                   // documents already offered by the seeding, ascending
  std::vector<float> seed_values;                      // seeding: per candidate and cursor
  std::vector<float> scores;                           // accumulators of a small segment, all 0 between uses
  std::vector<std::uint64_t> seen_docs;                // a bit per document of a small segment, all 0 between uses
  std::vector<std::uint32_t> cached_block;             // per cursor: the block whose bound is cached
  std::vector<double> cached_bound;
  TopK top;
  AnalyzedText analyzed;
  // Norm per length for the averages it was filled for (kept while they stay the same).
  std::vector<float> norms[2];
  double norms_mean[2] = {-1.0, -1.0};
  double norms_k1 = -1.0;
  double norms_b = -1.0;
  // The windowed pass: per document of the window its partial score (0 between uses) and
  // whether it was reached; the essential terms' contributions, each term's in document order, from
  // hits[hit_begin[c]] to hits[hit_end[c]].
  std::vector<float> window_partial;
  std::vector<std::uint64_t> window_seen;
  struct Hit {
    std::uint32_t doc;
    float value;
  };
  std::vector<Hit> hits;
  std::vector<std::size_t> hit_begin;
  std::vector<std::size_t> hit_end;
  std::vector<double> window_bound;  // per cursor
  std::vector<std::size_t> local_order;
  std::vector<double> local_prefix;
  std::vector<std::size_t> rare;
  // Per query term and segment, the term's entry there or null (found once, when its df is).
  std::vector<const TermEntry*> term_entries;

  void FillNorms(Scoring& scoring) {
    constexpr std::uint32_t kNormTableSize = 1024;
    if (norms_k1 != scoring.k1 || norms_b != scoring.b || norms_mean[0] != scoring.mean[0] ||
        norms_mean[1] != scoring.mean[1]) {
      for (int f = 0; f < 2; ++f) {
        norms[f].resize(kNormTableSize);
        for (std::uint32_t length = 0; length < kNormTableSize; ++length) norms[f][length] = scoring.Norm(length, f);
        norms_mean[f] = scoring.mean[f];
      }
      norms_k1 = scoring.k1;
      norms_b = scoring.b;
    }
    scoring.norm_table[0] = norms[0].data();
    scoring.norm_table[1] = norms[1].data();
    scoring.norm_table_size = kNormTableSize;
  }
};

}  // namespace lumo::index
