#include "index/InvertedIndex.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <limits>
#include <thread>
#include <utility>

#include "index/BitPacking.h"
#include "index/EngineDescription.h"
#include "json/JSON.h"

namespace lumo::index {
namespace {

constexpr std::uint64_t kMaxDocuments = 0xFFFFFFFEu;
constexpr std::size_t kMergeFactor = 4;
// A segment is rewritten without its removed documents once they are this share of it.
constexpr double kExpungeShare = 0.3;
constexpr std::size_t kExpungeLeast = 64;
// How many postings ahead a scoring loop asks for a document's lengths.
constexpr std::uint32_t kPrefetchAhead = 16;
// In a window, terms are non-essential only while their bounds sum to less than this share of
// the threshold: candidates then need a larger partial score, and the few left to complete
// cost less than the postings the larger essential set scores (at 1M documents, 26-32-term
// queries: 0.65 is 1.5x faster than 1.0, the plain MaxScore split).
constexpr double kEssentialShare = 0.65;

// Runs work(worker, begin, end) over [0, count) in chunks on `threads` threads (the caller's
// included, as worker 0); the first exception is rethrown after all threads have stopped.
template <class Work>
void RunParallel(std::size_t count, unsigned threads, std::size_t chunk, Work&& work) {
  if (threads <= 1 || count <= chunk) {
    work(0u, std::size_t{0}, count);
    return;
  }
  std::atomic<std::size_t> next{0};
  std::exception_ptr failure;
  std::mutex failure_mutex;
  auto loop = [&](unsigned worker) {
    try {
      for (;;) {
        const std::size_t begin = next.fetch_add(chunk);
        if (begin >= count) return;
        work(worker, begin, std::min(count, begin + chunk));
      }
    } catch (...) {
      std::lock_guard<std::mutex> guard(failure_mutex);
      if (!failure) failure = std::current_exception();
      next.store(count);
    }
  };
  const auto extra = static_cast<unsigned>(std::min<std::size_t>(threads, (count + chunk - 1) / chunk) - 1);
  std::vector<std::thread> pool;
  pool.reserve(extra);
  try {
    for (unsigned i = 0; i < extra; ++i) pool.emplace_back(loop, i + 1);
  } catch (...) {
    next.store(count);
    for (auto& t : pool) t.join();
    throw;
  }
  loop(0u);
  for (auto& t : pool) t.join();
  if (failure) std::rethrow_exception(failure);
}

bool Better(const ScoredDocument& a, const ScoredDocument& b) {
  return a.score > b.score || (a.score == b.score && a.doc < b.doc);
}

std::uint64_t WordsFor(std::uint64_t docs) { return (docs + 63) / 64; }

bool BitSet(const std::vector<std::uint64_t>& bits, std::uint32_t i) { return (bits[i >> 6] >> (i & 63)) & 1u; }

std::string Hex8(std::uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof(text), "%08x", static_cast<unsigned>(value & 0xFFFFFFFFu));
  return text;
}

}  // namespace

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

InvertedIndex::InvertedIndex(double k1, double b, bool store_documents)
    : k1_(k1), b_(b), store_documents_(store_documents) {
  if (!std::isfinite(k1) || k1 < 0 || k1 > kLargestK1) {
    throw InvalidArgument("k1 must be a number from 0 to " + std::to_string(static_cast<int>(kLargestK1)));
  }
  if (!std::isfinite(b) || b < 0 || b > 1) throw InvalidArgument("b must be between 0 and 1");
  std::random_device seed;
  salt_.seed((std::uint64_t{seed()} << 32) ^ seed());
}

InvertedIndex::~InvertedIndex() = default;

std::string InvertedIndex::NewName(const char* prefix) {
  char number[32];
  std::snprintf(number, sizeof(number), "%06llu", static_cast<unsigned long long>(next_name_++));
  return std::string(prefix) + number + "_" + Hex8(salt_());
}

InvertedIndex::SegmentState* InvertedIndex::FindSegment(std::uint64_t doc) const {
  auto it = std::upper_bound(segments_.begin(), segments_.end(), doc,
                             [](std::uint64_t d, const std::shared_ptr<SegmentState>& s) { return d < s->base; });
  if (it == segments_.begin()) return nullptr;
  SegmentState* state = std::prev(it)->get();
  return doc < state->end() ? state : nullptr;
}

std::uint32_t InvertedIndex::DeletedHits(const SegmentState& state, const TermEntry& entry) const {
  if (state.removed.empty()) return 0;
  {
    std::lock_guard<std::mutex> guard(state.hits_mutex);
    auto it = state.removed_hits.find(&entry);
    if (it != state.removed_hits.end()) return it->second;
  }
  PostingCursor cursor;
  cursor.Open(*state.segment, entry);
  std::uint32_t hits = 0;
  for (std::uint32_t doc : state.removed) {
    cursor.Advance(doc);
    if (cursor.doc() == kNoDocument) break;
    hits += cursor.doc() == doc;
  }
  std::lock_guard<std::mutex> guard(state.hits_mutex);
  state.removed_hits.emplace(&entry, hits);
  return hits;
}

std::uint32_t InvertedIndex::LiveDf(std::uint32_t id, const TermEntry** found) const {
  std::uint64_t df = 0;
  for (std::size_t i = 0; i < segments_.size(); ++i) {
    const SegmentState* state = segments_[i].get();
    const TermEntry* entry = state->segment->Find(id);
    if (found != nullptr) found[i] = entry;
    if (entry == nullptr) continue;
    const std::uint32_t gone = DeletedHits(*state, *entry);
    df += entry->df - std::min(gone, entry->df);
  }
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(df, live_count_));
}

double InvertedIndex::Idf(std::uint32_t df) const {
  const double n = static_cast<double>(live_count_);
  const double d = std::min<double>(df, n);
  return std::log(1.0 + (n - d + 0.5) / (d + 0.5));
}

InvertedIndex::Scoring InvertedIndex::MakeScoring() const {
  Scoring s{};
  s.k1 = k1_;
  s.b = b_;
  s.k1_plus_1 = static_cast<float>(k1_ + 1.0);
  for (int f = 0; f < 2; ++f) {
    const double mean =
        live_count_ == 0 ? 0.0 : static_cast<double>(total_length_[f]) / static_cast<double>(live_count_);
    s.mean[f] = mean;
    if (mean > 0) {
      s.norm_base[f] = k1_ * (1.0 - b_);
      s.norm_slope[f] = k1_ * b_ / mean;
    } else {
      s.norm_base[f] = k1_;
      s.norm_slope[f] = 0.0;
    }
  }
  return s;
}

std::vector<InvertedIndex::QueryTerm> InvertedIndex::QueryTerms(const std::vector<std::string_view>& analyzed,
                                                                float bigram_weight,
                                                                std::vector<const TermEntry*>* entries) const {
  if (entries != nullptr) entries->clear();
  std::vector<std::pair<std::uint32_t, std::uint8_t>> ids;
  ids.reserve(analyzed.size());
  for (std::string_view term : analyzed) {
    const std::uint32_t id = lexicon_.Find(term);
    if (id != kNoTerm) ids.emplace_back(id, IsBigramTerm(term) ? 1 : 0);
  }
  std::sort(ids.begin(), ids.end());
  std::vector<QueryTerm> terms;
  for (std::size_t j = 0; j < ids.size();) {
    std::size_t next = j + 1;
    while (next < ids.size() && ids[next].first == ids[j].first) ++next;
    const auto qtf = static_cast<float>(next - j);
    const std::uint32_t id = ids[j].first;
    const std::uint8_t field = ids[j].second;
    j = next;
    const std::size_t at = entries != nullptr ? entries->size() : 0;
    if (entries != nullptr) entries->resize(at + segments_.size());
    const std::uint32_t df = LiveDf(id, entries != nullptr ? entries->data() + at : nullptr);
    const float weight = qtf * (field == 1 ? bigram_weight : 1.0f);
    const double idf = Idf(df);
    // A term of negligible weight is left out: its contributions could round to zero.
    if (df == 0 || weight * idf < 1e-20) {
      if (entries != nullptr) entries->resize(at);
      continue;
    }
    terms.push_back({id, field, weight, weight * static_cast<float>(idf)});
  }
  return terms;
}

// Offers the exact scores of a few likely winners before the document-ordered pass, so its
// threshold starts high: the documents with the best partial scores over the query's rarest
// terms in the segment (a bounded number of postings), then each scored in full.
void InvertedIndex::SeedThreshold(const SegmentState& state, const std::vector<QueryTerm>& terms,
                                  const Scoring& scoring, std::size_t n, std::size_t k, Scratch& s) const {
  constexpr std::size_t kSeedPostings = 512;
  s.seeded.clear();
  s.pool.clear();
  const Segment& segment = *state.segment;
  std::vector<std::size_t>& rare = s.rare;
  rare.resize(n);
  for (std::size_t c = 0; c < n; ++c) rare[c] = c;
  std::sort(rare.begin(), rare.end(),
            [&](std::size_t a, std::size_t b) { return s.entries[a]->df < s.entries[b]->df; });
  std::size_t taken = 0;
  for (std::size_t c : rare) {
    if (taken > 0 && taken + s.entries[c]->df > kSeedPostings) break;
    taken += s.entries[c]->df;
    const QueryTerm& term = terms[s.term_of[c]];
    segment.ForEach(*s.entries[c], [&](std::uint32_t doc, std::uint32_t tf) {
      if (state.IsLive(doc)) {
        s.pool.emplace_back(doc, term.weight_idf * scoring.Saturation(tf, segment.Length(doc, term.field), term.field));
      }
    });
  }
  if (s.pool.empty()) return;
  std::sort(s.pool.begin(), s.pool.end());
  std::size_t out = 0;
  for (std::size_t i = 0; i < s.pool.size(); ++i) {
    if (out > 0 && s.pool[out - 1].first == s.pool[i].first) {
      s.pool[out - 1].second += s.pool[i].second;
    } else {
      s.pool[out++] = s.pool[i];
    }
  }
  s.pool.resize(out);
  const std::size_t chosen = std::min(k, s.pool.size());
  std::nth_element(s.pool.begin(), s.pool.begin() + static_cast<std::ptrdiff_t>(chosen - 1), s.pool.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  s.pool.resize(chosen);
  std::sort(s.pool.begin(), s.pool.end());
  s.seed_values.assign(chosen * n, 0.0f);
  PostingCursor probe;
  for (std::size_t c = 0; c < n; ++c) {
    const QueryTerm& term = terms[s.term_of[c]];
    probe.Open(segment, *s.entries[c]);
    for (std::size_t j = 0; j < chosen && probe.doc() != kNoDocument; ++j) {
      const std::uint32_t doc = s.pool[j].first;
      probe.Advance(doc);
      if (probe.doc() == doc) {
        s.seed_values[j * n + c] =
            term.weight_idf * scoring.Saturation(probe.tf(), segment.Length(doc, term.field), term.field);
      }
    }
  }
  for (std::size_t j = 0; j < chosen; ++j) {
    // Summed in query-term order, as every other path sums (an absent term adds an exact 0).
    float score = 0.0f;
    for (std::size_t c = 0; c < n; ++c) score += s.seed_values[j * n + c];
    s.top.Offer(static_cast<std::uint32_t>(state.base + s.pool[j].first), score);
    s.seeded.push_back(s.pool[j].first);
  }
}

// Scores every posting of the query's terms in a segment into the thread's accumulators (kept
// across queries, cleared as they are read), in query-term order like every other path. On
// small segments this beats the document-at-a-time pass, whose work per document is larger.
void InvertedIndex::AccumulateSegment(const SegmentState& state, std::size_t segment_index,
                                      const std::vector<QueryTerm>& terms, const Scoring& scoring, Scratch& s,
                                      const std::atomic<bool>* cancel) const {
  const Segment& segment = *state.segment;
  const std::uint32_t doc_count = segment.doc_count();
  if (s.scores.size() < doc_count) s.scores.resize(doc_count, 0.0f);
  if (s.seen_docs.size() < WordsFor(doc_count)) s.seen_docs.resize(WordsFor(doc_count), 0);
  float* scores = s.scores.data();
  std::uint64_t* seen = s.seen_docs.data();
  PostingCursor& cursor = s.cursors[0];
  for (std::size_t t = 0; t < terms.size(); ++t) {
    // Once per term: a term's postings in a segment this small take well under a millisecond.
    CheckCancel(cancel);
    const QueryTerm& term = terms[t];
    const TermEntry* entry = s.term_entries[t * segments_.size() + segment_index];
    if (entry == nullptr) continue;
    const Segment::LengthColumn lengths = segment.Lengths(term.field);
    const Scoring::FieldSaturation saturation = scoring.ForField(term.field);
    const float weight_idf = term.weight_idf;
    // Removed documents are scored too, and never offered (no branch per posting).
    for (cursor.Open(segment, *entry); cursor.doc() != kNoDocument;) {
      const std::uint32_t available = cursor.run_length();
      const std::uint32_t* docs = cursor.run_docs();
      const std::uint32_t* tfs = cursor.run_tfs();
      for (std::uint32_t j = 0; j < available; ++j) {
        const std::uint32_t doc = docs[j];
        scores[doc] += weight_idf * saturation(tfs[j], lengths(doc));
        seen[doc >> 6] |= std::uint64_t{1} << (doc & 63);
      }
      cursor.Consume(available);
    }
  }
  for (std::uint32_t w = 0; w < WordsFor(doc_count); ++w) {
    for (std::uint64_t bits = seen[w]; bits != 0; bits &= bits - 1) {
      const std::uint32_t doc = w * 64 + static_cast<std::uint32_t>(__builtin_ctzll(bits));
      if (state.IsLive(doc)) s.top.Offer(static_cast<std::uint32_t>(state.base + doc), scores[doc]);
      scores[doc] = 0.0f;
    }
    seen[w] = 0;
  }
}

// Exact top k over one segment by block-max MaxScore in windows of documents. Terms are ranked
// by their largest block bound; those whose bounds together cannot lift a document past the
// threshold (non-essential) only complete candidates found by the others. Each window of
// documents is bounded per term by the term's blocks there: a window whose bounds cannot pass
// the threshold is skipped undecoded, and inside a window the terms are split again by those
// local bounds. The essential terms of a window are scored term at a time into its
// accumulators (tight loops, no merging of cursors per document); a document whose partial
// score and the non-essential bounds can pass the threshold probes the non-essential terms,
// strongest first, and its score is then summed in query-term order, as the exhaustive path
// sums it, so both give the same floats.
void InvertedIndex::SearchSegment(const SegmentState& state, std::size_t segment_index,
                                  const std::vector<QueryTerm>& terms, const Scoring& scoring, std::size_t k,
                                  Scratch& s, const std::atomic<bool>* cancel) const {
  const Segment& segment = *state.segment;
  // Rounding: a bound is raised by this factor so that float sums in another order never
  // exceed it; every float step errs by at most 2^-24 relatively.
  const double margin = 1.0 + 1e-6 * static_cast<double>(terms.size() + 4);
  // Cursors of the query terms this segment holds, in query-term order.
  std::size_t n = 0;
  s.term_of.clear();
  s.bound.clear();
  s.entries.clear();
  for (std::size_t t = 0; t < terms.size(); ++t) {
    const TermEntry* entry = s.term_entries[t * segments_.size() + segment_index];
    if (entry == nullptr) continue;
    s.cursors[n].Open(segment, *entry);
    if (s.cursors[n].doc() == kNoDocument) continue;
    s.term_of.push_back(t);
    s.entries.push_back(entry);
    // The largest block bound: tighter than one from the term's largest tf and shortest
    // document, which seldom meet in one posting.
    double largest = 0;
    segment.ForEachBlockBound(
        *entry, [&](const BlockMeta& meta) { largest = std::max(largest, scoring.BlockBound(meta, terms[t].field)); });
    s.bound.push_back(terms[t].weight_idf * largest * margin);
    ++n;
  }
  if (n == 0) return;
  s.order.resize(n);
  for (std::size_t i = 0; i < n; ++i) s.order[i] = i;
  std::sort(s.order.begin(), s.order.end(), [&](std::size_t a, std::size_t b) { return s.bound[a] < s.bound[b]; });
  s.prefix.resize(n);
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i) s.prefix[i] = sum += s.bound[s.order[i]];
  s.contribution.assign(n, 0.0f);
  s.matched.assign(n, 0);
  s.cached_block.assign(n, kNoDocument);
  s.cached_bound.assign(n, 0.0);
  s.window_bound.resize(n);
  s.hit_begin.resize(n);
  s.hit_end.resize(n);
  auto bound_of = [&](std::size_t c, const BlockMeta& meta) {
    const QueryTerm& term = terms[s.term_of[c]];
    return term.weight_idf * scoring.BlockBound(meta, term.field) * margin;
  };
  auto score_of = [&](std::size_t c, const PostingCursor& cursor, std::uint32_t doc) {
    const QueryTerm& term = terms[s.term_of[c]];
    return term.weight_idf * scoring.Saturation(cursor.tf(), segment.Length(doc, term.field), term.field);
  };
  SeedThreshold(state, terms, scoring, n, k, s);
  double threshold = s.top.threshold();
  // Cursors order[first_essential, n) are essential: every document that can still enter the
  // top k holds at least one of their terms.
  std::size_t first_essential = 0;
  while (first_essential < n && s.prefix[first_essential] < threshold) ++first_essential;

  const std::uint32_t window = std::max<std::uint32_t>(1, search_window_.load(std::memory_order_relaxed));
  if (s.window_partial.size() < window) {
    s.window_partial.resize(window);
    s.window_seen.assign((window + 63) / 64, 0);
  }
  const std::uint32_t doc_count = segment.doc_count();
  std::uint32_t start = 0;
  while (first_essential < n && start < doc_count) {
    CheckCancel(cancel);
    std::uint32_t first = kNoDocument;
    for (std::size_t i = first_essential; i < n; ++i) {
      PostingCursor& cursor = s.cursors[s.order[i]];
      cursor.Advance(start);
      first = std::min(first, cursor.doc());
    }
    if (first >= doc_count) break;
    const std::uint32_t last = doc_count - 1 - first < window - 1 ? doc_count - 1 : first + (window - 1);
    // Each term's bound over the window, from the blocks that overlap it.
    double total = 0;
    s.local_order.clear();
    for (std::size_t c = 0; c < n; ++c) {
      PostingCursor& cursor = s.cursors[c];
      double local = 0;
      if (cursor.doc() <= last && cursor.ShallowAdvance(first)) {
        cursor.ForEachBlockUpTo(last, [&](const BlockMeta& meta) { local = std::max(local, bound_of(c, meta)); });
      }
      s.window_bound[c] = local;
      if (local > 0) {
        s.local_order.push_back(c);
        total += local;
      }
    }
    if (total >= threshold) {
      std::sort(s.local_order.begin(), s.local_order.end(),
                [&](std::size_t a, std::size_t b) { return s.window_bound[a] < s.window_bound[b]; });
      const std::size_t m = s.local_order.size();
      s.local_prefix.resize(m);
      double running = 0;
      for (std::size_t i = 0; i < m; ++i) s.local_prefix[i] = running += s.window_bound[s.local_order[i]];
      std::size_t local_first = 0;
      // Fewer non-essential terms than their bounds allow: each candidate must then have a
      // larger partial score, which leaves far fewer of them to complete (measured).
      while (local_first < m && s.local_prefix[local_first] < threshold * kEssentialShare) ++local_first;
      // Essential terms, scored term at a time over the window.
      std::fill(s.hit_begin.begin(), s.hit_begin.end(), 0);
      std::fill(s.hit_end.begin(), s.hit_end.end(), 0);
      std::size_t used = 0;
      float* partial_of = s.window_partial.data();
      std::uint64_t* seen = s.window_seen.data();
      for (std::size_t i = local_first; i < m; ++i) {
        const std::size_t c = s.local_order[i];
        PostingCursor& cursor = s.cursors[c];
        const QueryTerm& term = terms[s.term_of[c]];
        const int field = term.field;
        const Segment::LengthColumn lengths = segment.Lengths(field);
        const Scoring::FieldSaturation saturation = scoring.ForField(field);
        const float weight_idf = term.weight_idf;
        cursor.Advance(first);
        s.hit_begin[c] = used;
        while (cursor.doc() <= last) {
          const std::uint32_t available = cursor.run_length();
          const std::uint32_t* docs = cursor.run_docs();
          const std::uint32_t* tfs = cursor.run_tfs();
          if (s.hits.size() < used + available) s.hits.resize(std::max(2 * s.hits.size(), used + available));
          Scratch::Hit* out = s.hits.data() + used;
          std::uint32_t j = 0;
          for (; j < available && docs[j] <= last; ++j) {
            const std::uint32_t doc = docs[j];
            if (j + kPrefetchAhead < available) lengths.Prefetch(docs[j + kPrefetchAhead]);
            const float value = weight_idf * saturation(tfs[j], lengths(doc));
            const std::uint32_t at = doc - first;
            partial_of[at] += value;
            seen[at >> 6] |= std::uint64_t{1} << (at & 63);
            out[j] = {doc, value};
          }
          used += j;
          cursor.Consume(j);
          if (j < available) break;
        }
        s.hit_end[c] = used;
      }
      auto essential_value = [&](std::size_t c, std::uint32_t doc, float& value) {
        const Scratch::Hit* begin = s.hits.data() + s.hit_begin[c];
        const Scratch::Hit* end = s.hits.data() + s.hit_end[c];
        const Scratch::Hit* it =
            std::lower_bound(begin, end, doc, [](const Scratch::Hit& h, std::uint32_t d) { return h.doc < d; });
        if (it == end || it->doc != doc) return false;
        value = it->value;
        return true;
      };
      const double non_essential = local_first > 0 ? s.local_prefix[local_first - 1] : 0.0;
      for (std::uint32_t w = 0; w <= (last - first) / 64; ++w) {
        for (std::uint64_t bits = seen[w]; bits != 0; bits &= bits - 1) {
          const std::uint32_t at = w * 64 + static_cast<std::uint32_t>(__builtin_ctzll(bits));
          const std::uint32_t doc = first + at;
          double partial = partial_of[at];
          partial_of[at] = 0.0f;
          if (partial * margin + non_essential < threshold || !state.IsLive(doc)) continue;
          bool complete = true;
          for (std::size_t j = local_first; j-- > 0;) {
            if (partial * margin + s.local_prefix[j] < threshold) {
              complete = false;
              break;
            }
            const std::size_t c = s.local_order[j];
            PostingCursor& cursor = s.cursors[c];
            if (!cursor.ShallowAdvance(doc)) continue;
            if (s.cached_block[c] != cursor.block_position()) {
              s.cached_block[c] = cursor.block_position();
              s.cached_bound[c] = bound_of(c, cursor.block_bounds());
            }
            const double below = j > 0 ? s.local_prefix[j - 1] : 0.0;
            if (partial * margin + s.cached_bound[c] + below < threshold) {
              complete = false;
              break;
            }
            cursor.Advance(doc);
            if (cursor.doc() != doc) continue;
            const float value = score_of(c, cursor, doc);
            s.contribution[c] = value;
            s.matched[c] = 1;
            partial += value;
          }
          if (complete) {
            // Summed in query-term order (cursors are in that order), as the exhaustive path does.
            float score = 0.0f;
            for (std::size_t c = 0; c < n; ++c) {
              float value = 0.0f;
              if (s.matched[c]) {
                score += s.contribution[c];
              } else if (essential_value(c, doc, value)) {
                score += value;
              }
            }
            if (!std::binary_search(s.seeded.begin(), s.seeded.end(), doc) &&
                s.top.Offer(static_cast<std::uint32_t>(state.base + doc), score)) {
              threshold = s.top.threshold();
            }
          }
          for (std::size_t j = 0; j < local_first; ++j) s.matched[s.local_order[j]] = 0;
        }
        seen[w] = 0;
      }
      while (first_essential < n && s.prefix[first_essential] < threshold) ++first_essential;
    }
    if (last >= doc_count - 1) break;
    start = last + 1;
  }
}

void InvertedIndex::SearchLocked(const std::vector<QueryTerm>& terms, std::size_t k, Scratch& s,
                                 std::vector<ScoredDocument>& out, const std::atomic<bool>* cancel) const {
  out.clear();
  if (terms.empty() || k == 0) return;
  Scoring scoring = MakeScoring();
  s.top.Reset(k);
  if (s.cursors.size() < terms.size()) s.cursors.resize(terms.size());
  s.FillNorms(scoring);
  const std::uint64_t prune_from = prune_from_documents_.load(std::memory_order_relaxed);
  for (std::size_t i = 0; i < segments_.size(); ++i) {
    CheckCancel(cancel);
    const SegmentState& state = *segments_[i];
    const Segment& segment = *state.segment;
    if (state.live_count == 0) continue;
    if (segment.doc_count() < prune_from) {
      AccumulateSegment(state, i, terms, scoring, s, cancel);
      continue;
    }
    SearchSegment(state, i, terms, scoring, k, s, cancel);
  }
  s.top.TakeSorted(out);
}

std::vector<ScoredDocument> InvertedIndex::Search(std::string_view query, const Analyzer& analyzer, std::size_t k,
                                                  const std::atomic<bool>* cancel) const {
  if (k > kLargestK) throw InvalidArgument("k must be at most " + std::to_string(kLargestK));
  Scratch scratch;
  analyzer.Analyze(query, scratch.analyzed);
  std::shared_lock<std::shared_mutex> lock(mutex_);
  std::vector<ScoredDocument> out;
  SearchLocked(QueryTerms(scratch.analyzed.terms, analyzer.settings().bigram_weight, &scratch.term_entries), k, scratch,
               out, cancel);
  return out;
}

std::vector<ScoredDocument> InvertedIndex::SearchTerms(const std::vector<std::string_view>& terms, std::size_t k,
                                                       float bigram_weight) const {
  if (k > kLargestK) throw InvalidArgument("k must be at most " + std::to_string(kLargestK));
  std::shared_lock<std::shared_mutex> lock(mutex_);
  Scratch scratch;
  std::vector<ScoredDocument> out;
  SearchLocked(QueryTerms(terms, bigram_weight, &scratch.term_entries), k, scratch, out, nullptr);
  return out;
}

std::vector<ScoredDocument> InvertedIndex::SearchExhaustive(const std::vector<std::string_view>& analyzed,
                                                            std::size_t k, float bigram_weight) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  const std::vector<QueryTerm> terms = QueryTerms(analyzed, bigram_weight);
  const Scoring scoring = MakeScoring();
  TopK top;
  top.Reset(k);
  for (const auto& state : segments_) {
    const Segment& segment = *state->segment;
    std::vector<float> scores(segment.doc_count(), 0.0f);
    std::vector<std::uint8_t> touched(segment.doc_count(), 0);
    for (const QueryTerm& term : terms) {
      const TermEntry* entry = segment.Find(term.id);
      if (entry == nullptr) continue;
      segment.ForEach(*entry, [&](std::uint32_t doc, std::uint32_t tf) {
        if (!state->IsLive(doc)) return;
        scores[doc] += term.weight_idf * scoring.Saturation(tf, segment.Length(doc, term.field), term.field);
        touched[doc] = 1;
      });
    }
    for (std::uint32_t doc = 0; doc < segment.doc_count(); ++doc) {
      if (touched[doc]) top.Offer(static_cast<std::uint32_t>(state->base + doc), scores[doc]);
    }
  }
  std::vector<ScoredDocument> out;
  if (k > 0 && !terms.empty()) top.TakeSorted(out);
  return out;
}

void InvertedIndex::SearchMany(const std::vector<std::string>& queries, const Analyzer& analyzer, std::size_t k,
                               unsigned threads, std::vector<std::vector<ScoredDocument>>& results,
                               const std::atomic<bool>* cancel) const {
  if (k > kLargestK) throw InvalidArgument("k must be at most " + std::to_string(kLargestK));
  if (threads > kMostThreads) throw InvalidArgument("threads must be at most " + std::to_string(kMostThreads));
  results.assign(queries.size(), {});
  std::shared_lock<std::shared_mutex> lock(mutex_);
  const std::size_t chunk =
      std::max<std::size_t>(1, std::min<std::size_t>(8, queries.size() / (4 * std::max(1u, threads)) + 1));
  std::vector<Scratch> scratches(std::max(1u, threads));
  RunParallel(queries.size(), threads, chunk, [&](unsigned worker, std::size_t begin, std::size_t end) {
    Scratch* mine = &scratches[worker];
    for (std::size_t i = begin; i < end; ++i) {
      CheckCancel(cancel);
      analyzer.Analyze(queries[i], mine->analyzed);
      SearchLocked(QueryTerms(mine->analyzed.terms, analyzer.settings().bigram_weight, &mine->term_entries), k, *mine,
                   results[i], cancel);
    }
  });
}

SparseRows InvertedIndex::DocumentVectors(std::uint64_t first_doc, std::uint64_t end_doc) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  SparseRows out;
  end_doc = std::min<std::uint64_t>(end_doc, document_count_);
  out.row_starts.push_back(0);
  if (first_doc >= end_doc) return out;
  const Scoring scoring = MakeScoring();
  struct Entry {
    std::uint32_t doc;
    std::uint32_t term;
    float value;
  };
  std::vector<Entry> entries;
  for (const auto& state : segments_) {
    if (state->end() <= first_doc || state->base >= end_doc) continue;
    const Segment& segment = *state->segment;
    const auto from = static_cast<std::uint32_t>(std::max(first_doc, state->base) - state->base);
    const auto to = static_cast<std::uint32_t>(std::min(end_doc, state->end()) - state->base);
    const std::size_t first_entry = entries.size();
    PostingCursor cursor;
    for (std::uint32_t t = 0; t < segment.term_count(); ++t) {
      const TermEntry& entry = segment.entry(t);
      cursor.Open(segment, entry);
      for (cursor.Advance(from); cursor.doc() < to; cursor.Next()) {
        const std::uint32_t doc = cursor.doc();
        if (!state->IsLive(doc)) continue;
        const int field = entry.field();
        entries.push_back({static_cast<std::uint32_t>(state->base + doc), entry.id(),
                           scoring.Saturation(cursor.tf(), segment.Length(doc, field), field)});
      }
    }
    // By document, then term (damaged bytes could hold the terms out of order).
    std::sort(entries.begin() + static_cast<std::ptrdiff_t>(first_entry), entries.end(),
              [](const Entry& a, const Entry& b) { return a.doc < b.doc || (a.doc == b.doc && a.term < b.term); });
    for (std::uint32_t doc = from; doc < to; ++doc) {
      if (state->IsLive(doc)) out.rows.push_back(static_cast<std::uint32_t>(state->base + doc));
    }
  }
  out.indices.reserve(entries.size());
  out.values.reserve(entries.size());
  std::size_t at = 0;
  for (std::uint32_t row : out.rows) {
    while (at < entries.size() && entries[at].doc == row) {
      if (out.indices.size() == out.row_starts.back() || out.indices.back() != entries[at].term) {
        out.indices.push_back(entries[at].term);
        out.values.push_back(entries[at].value);
      }
      ++at;
    }
    out.row_starts.push_back(out.indices.size());
  }
  return out;
}

void InvertedIndex::QueryVector(std::string_view query, const Analyzer& analyzer, bool engine_idf,
                                std::vector<std::uint32_t>& indices, std::vector<float>& values) const {
  AnalyzedText analyzed;
  analyzer.Analyze(query, analyzed);
  std::shared_lock<std::shared_mutex> lock(mutex_);
  indices.clear();
  values.clear();
  for (const QueryTerm& term : QueryTerms(analyzed.terms, analyzer.settings().bigram_weight)) {
    indices.push_back(term.id);
    values.push_back(engine_idf ? term.weight : term.weight_idf);
  }
}

std::uint32_t InvertedIndex::Add(const std::vector<std::string>& texts, const Analyzer& analyzer, unsigned threads,
                                 const std::atomic<bool>* cancel, const DocumentFields* fields) {
  if (threads > kMostThreads) throw InvalidArgument("threads must be at most " + std::to_string(kMostThreads));
  struct DocTerms {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> known;  // id, tf (bit 31: bigram field)
    // Terms the dictionary does not hold yet, their text packed in one string: a long document
    // brings millions of them, so no string of its own each.
    std::string unknown_text;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> unknown;  // end in unknown_text, tf
    std::uint32_t length[2] = {0, 0};
  };
  std::lock_guard<std::mutex> writing(writer_);
  if (document_count_ + texts.size() > kMaxDocuments) {
    throw InvalidArgument("the index holds the largest number of documents it can");
  }
  if (fields != nullptr && (!fields->ids.empty() || !fields->metadata.empty())) {
    if (!store_documents_) throw InvalidArgument("ids and metadata need an index that stores documents");
    if ((!fields->ids.empty() && fields->ids.size() != texts.size()) ||
        (!fields->metadata.empty() && fields->metadata.size() != texts.size())) {
      throw InvalidArgument("ids and metadata must have one entry per text");
    }
    CheckNewIds(fields->ids);
  }
  if (texts.empty()) return static_cast<std::uint32_t>(document_count_);
  // The records first, outside the readers' lock: a record too long is refused before any work.
  std::shared_ptr<const std::string> store_bytes;
  if (store_documents_) {
    DocumentStoreBuilder builder;
    for (std::size_t i = 0; i < texts.size(); ++i) {
      CheckCancel(cancel);
      builder.Add(texts[i], fields != nullptr && !fields->ids.empty() ? std::string_view(fields->ids[i]) : "",
                  fields != nullptr && !fields->metadata.empty() ? std::string_view(fields->metadata[i]) : "");
    }
    store_bytes = builder.Finish();
  }
  // Analysis and lookups of known terms in parallel: only writers change the dictionary, and
  // this is the only writer now.
  std::vector<DocTerms> analyzed(texts.size());
  RunParallel(texts.size(), threads, 16, [&](unsigned, std::size_t begin, std::size_t end) {
    AnalyzedText buffer;
    std::vector<std::uint32_t> ids;  // of each distinct term, in sorted order
    for (std::size_t i = begin; i < end; ++i) {
      CheckCancel(cancel);
      analyzer.Analyze(texts[i], buffer, cancel);
      DocTerms& doc = analyzed[i];
      std::size_t bigrams = 0;
      for (std::string_view term : buffer.terms) bigrams += IsBigramTerm(term);
      doc.length[0] = static_cast<std::uint32_t>(std::min<std::size_t>(buffer.terms.size() - bigrams, 0xFFFFFFFFu));
      doc.length[1] = static_cast<std::uint32_t>(std::min<std::size_t>(bigrams, 0xFFFFFFFFu));
      // Sorted where they lie (text order is no longer needed), then counted: each list is
      // sized before it is filled, since for one long document these are the largest buffers.
      std::vector<std::string_view>& sorted = buffer.terms;
      std::size_t comparisons = 0;
      std::sort(sorted.begin(), sorted.end(), [&](std::string_view a, std::string_view b) {
        if ((++comparisons & 0xFFFFF) == 0) CheckCancel(cancel);  // a long document's sort takes seconds
        return a < b;
      });
      ids.clear();
      std::size_t unknown = 0, unknown_bytes = 0;
      for (std::size_t j = 0; j < sorted.size();) {
        if ((ids.size() & 0xFFFF) == 0xFFFF) CheckCancel(cancel);
        std::size_t next = j + 1;
        while (next < sorted.size() && sorted[next] == sorted[j]) ++next;
        ids.push_back(lexicon_.Find(sorted[j]));
        if (ids.back() == kNoTerm) {
          ++unknown;
          unknown_bytes += sorted[j].size();
        }
        j = next;
      }
      doc.known.reserve(ids.size() - unknown);
      doc.unknown.reserve(unknown);
      doc.unknown_text.reserve(unknown_bytes);
      std::size_t distinct = 0;
      for (std::size_t j = 0; j < sorted.size(); ++distinct) {
        if ((distinct & 0xFFFF) == 0xFFFF) CheckCancel(cancel);
        std::size_t next = j + 1;
        while (next < sorted.size() && sorted[next] == sorted[j]) ++next;
        const auto tf = static_cast<std::uint32_t>(std::min<std::size_t>(next - j, 0x7FFFFFFFu));
        if (ids[distinct] != kNoTerm) {
          doc.known.emplace_back(ids[distinct], tf | (IsBigramTerm(sorted[j]) ? 0x80000000u : 0u));
        } else {
          doc.unknown_text.append(sorted[j]);
          doc.unknown.emplace_back(doc.unknown_text.size(), tf);
        }
        j = next;
      }
      if (ids.capacity() > 4096) {
        ids.clear();
        ids.shrink_to_fit();
      }
    }
  });
  CheckCancel(cancel);
  // New terms get their ids in document order, so ids do not depend on the number of threads.
  struct Posting {
    std::uint32_t id;
    std::uint32_t doc;
    std::uint32_t tf;  // bit 31: bigram field
  };
  std::vector<Posting> postings;
  std::size_t posting_count = 0;
  for (const DocTerms& terms : analyzed) posting_count += terms.known.size() + terms.unknown.size();
  postings.reserve(posting_count);
  std::vector<std::uint32_t> lengths(2 * texts.size());
  // From here until the segment is in place, a failure (an interruption included) takes back
  // the ids given to new terms, so that the index is as it was.
  const std::uint32_t first_new_id = lexicon_.next_id();
  std::unique_ptr<SegmentState> state;
  try {
    {
      std::unique_lock<std::shared_mutex> lock(mutex_);
      for (std::size_t i = 0; i < analyzed.size(); ++i) {
        DocTerms& terms = analyzed[i];
        for (const auto& [id, tf] : terms.known) postings.push_back({id, static_cast<std::uint32_t>(i), tf});
        std::size_t start = 0;
        for (const auto& [end, tf] : terms.unknown) {
          if ((postings.size() & 0xFFFF) == 0xFFFF) CheckCancel(cancel);
          const std::string_view text = std::string_view(terms.unknown_text).substr(start, end - start);
          start = end;
          postings.push_back(
              {lexicon_.Intern(text), static_cast<std::uint32_t>(i), tf | (IsBigramTerm(text) ? 0x80000000u : 0u)});
        }
        // Each document's lists go as soon as its terms have ids, so the new dictionary entries
        // grow into the room they leave.
        terms = DocTerms{{}, {}, {}, {terms.length[0], terms.length[1]}};
        lengths[2 * i] = terms.length[0];
        lengths[2 * i + 1] = terms.length[1];
      }
    }
    analyzed.clear();
    analyzed.shrink_to_fit();
    std::size_t comparisons = 0;
    std::sort(postings.begin(), postings.end(), [&](const Posting& a, const Posting& b) {
      if ((++comparisons & 0xFFFFF) == 0) CheckCancel(cancel);
      return a.id < b.id || (a.id == b.id && a.doc < b.doc);
    });
    PostingsInput inputs;
    std::size_t distinct_terms = 0;
    for (std::size_t j = 0; j < postings.size(); ++j) distinct_terms += j == 0 || postings[j].id != postings[j - 1].id;
    inputs.ids.reserve(distinct_terms);
    inputs.fields.reserve(distinct_terms);
    inputs.starts.reserve(distinct_terms + 1);
    inputs.docs.reserve(postings.size());
    inputs.tfs.reserve(postings.size());
    for (std::size_t j = 0; j < postings.size();) {
      const std::uint32_t id = postings[j].id;
      inputs.ids.push_back(id);
      inputs.fields.push_back((postings[j].tf >> 31) != 0 ? 1 : 0);
      for (; j < postings.size() && postings[j].id == id; ++j) {
        inputs.docs.push_back(postings[j].doc);
        inputs.tfs.push_back(postings[j].tf & 0x7FFFFFFFu);
      }
      inputs.starts.push_back(inputs.docs.size());
    }
    postings.clear();
    postings.shrink_to_fit();
    state = std::make_unique<SegmentState>();
    state->owned_bytes = BuildSegment(static_cast<std::uint32_t>(texts.size()), inputs, lengths, cancel);
    state->segment = std::make_shared<const Segment>(*state->owned_bytes, state->owned_bytes);
    CheckCancel(cancel);
  } catch (...) {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    lexicon_.ForgetSince(first_new_id);
    throw;
  }
  state->name = NewName("seg_");
  state->base = document_count_;
  if (store_bytes != nullptr) {
    state->store = std::make_shared<const DocumentStore>(*store_bytes, store_bytes);
  }
  state->live.assign(WordsFor(texts.size()), 0);
  for (std::uint32_t i = 0; i < texts.size(); ++i) state->live[i >> 6] |= std::uint64_t{1} << (i & 63);
  state->live_count = static_cast<std::uint32_t>(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    state->totals[0] += lengths[2 * i];
    state->totals[1] += lengths[2 * i + 1];
  }
  const auto first = static_cast<std::uint32_t>(document_count_);
  {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    document_count_ += texts.size();
    live_count_ += texts.size();
    for (int f = 0; f < 2; ++f) total_length_[f] += state->totals[f];
    segments_.push_back(std::move(state));
  }
  MergeSmallSegments(cancel);
  return first;
}

void InvertedIndex::AppendSegment(std::uint32_t doc_count, const std::vector<TermPostingsInput>& terms,
                                  const std::vector<std::uint32_t>& lengths, std::vector<std::uint64_t> live) {
  auto state = std::make_unique<SegmentState>();
  state->owned_bytes = BuildSegment(doc_count, terms, lengths);
  state->segment = std::make_shared<const Segment>(*state->owned_bytes, state->owned_bytes);
  state->name = NewName("seg_");
  state->base = document_count_ - doc_count;
  state->live = std::move(live);
  for (std::uint32_t doc = 0; doc < doc_count; ++doc) {
    if (!state->IsLive(doc)) continue;
    ++state->live_count;
    state->totals[0] += lengths[2 * std::size_t{doc}];
    state->totals[1] += lengths[2 * std::size_t{doc} + 1];
  }
  live_count_ += state->live_count;
  for (int f = 0; f < 2; ++f) total_length_[f] += state->totals[f];
  segments_.push_back(std::move(state));
}

void InvertedIndex::Remove(const std::vector<std::uint64_t>& docs) {
  std::lock_guard<std::mutex> writing(writer_);
  std::vector<std::uint64_t> sorted(docs);
  std::sort(sorted.begin(), sorted.end());
  for (std::size_t i = 0; i < docs.size(); ++i) {
    const std::uint64_t doc = docs[i];
    const SegmentState* state = FindSegment(doc);
    if (state == nullptr || !state->IsLive(static_cast<std::uint32_t>(doc - state->base))) throw UnknownDocument(doc);
    auto range = std::equal_range(sorted.begin(), sorted.end(), doc);
    if (range.second - range.first > 1) throw UnknownDocument(doc);
  }
  if (docs.empty()) return;
  {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    for (std::uint64_t doc : sorted) {
      SegmentState& state = *FindSegment(doc);
      const auto local = static_cast<std::uint32_t>(doc - state.base);
      state.live[local >> 6] &= ~(std::uint64_t{1} << (local & 63));
      --state.live_count;
      --live_count_;
      for (int f = 0; f < 2; ++f) {
        const std::uint32_t length = state.segment->Length(local, f);
        state.totals[f] -= std::min<std::uint64_t>(length, state.totals[f]);
        total_length_[f] -= std::min<std::uint64_t>(length, total_length_[f]);
      }
      state.removed.insert(std::upper_bound(state.removed.begin(), state.removed.end(), local), local);
      state.live_name.clear();
      ++state.live_generation;
      std::lock_guard<std::mutex> guard(state.hits_mutex);
      state.removed_hits.clear();
    }
  }
  ExpungeRemoved();
}

std::unique_ptr<InvertedIndex::SegmentState> InvertedIndex::BuildMerged(const std::vector<const SegmentState*>& inputs,
                                                                        const std::vector<std::uint32_t>* remap,
                                                                        const std::atomic<bool>* cancel) {
  const std::uint64_t base = inputs.front()->base;
  const std::uint64_t doc_count = inputs.back()->end() - base;
  auto merged = std::make_unique<SegmentState>();
  merged->base = base;
  merged->live.assign(WordsFor(doc_count), 0);
  std::vector<std::uint32_t> lengths(2 * doc_count, 0);
  for (const SegmentState* input : inputs) {
    const std::uint64_t shift = input->base - base;
    for (std::uint32_t doc = 0; doc < input->segment->doc_count(); ++doc) {
      if (!input->IsLive(doc)) continue;
      const std::uint64_t at = shift + doc;
      merged->live[at >> 6] |= std::uint64_t{1} << (at & 63);
      lengths[2 * at] = input->segment->Length(doc, 0);
      lengths[2 * at + 1] = input->segment->Length(doc, 1);
    }
    merged->live_count += input->live_count;
    for (int f = 0; f < 2; ++f) merged->totals[f] += input->totals[f];
  }
  // Every (new id, input, entry), grouped by id; inputs are in document order.
  struct Source {
    std::uint32_t id;
    std::uint32_t input;
    const TermEntry* entry;
  };
  std::vector<Source> sources;
  for (std::uint32_t i = 0; i < inputs.size(); ++i) {
    const Segment& segment = *inputs[i]->segment;
    for (std::uint32_t t = 0; t < segment.term_count(); ++t) {
      const TermEntry& entry = segment.entry(t);
      std::uint32_t id = entry.id();
      if (remap != nullptr) {
        if (id >= remap->size()) continue;  // damaged: a term the dictionary never gave out
        id = (*remap)[id];
        if (id == kNoTerm) continue;
      }
      sources.push_back({id, i, &entry});
    }
  }
  std::stable_sort(sources.begin(), sources.end(), [](const Source& a, const Source& b) { return a.id < b.id; });
  PostingsInput terms;
  std::size_t checked_at = 0;  // in terms and postings done, a few milliseconds apart
  for (std::size_t j = 0; j < sources.size();) {
    if (j + terms.docs.size() - checked_at >= (std::size_t{1} << 18)) {
      CheckCancel(cancel);
      checked_at = j + terms.docs.size();
    }
    const std::uint32_t id = sources[j].id;
    const auto field = static_cast<std::uint8_t>(sources[j].entry->field());
    std::uint64_t last = 0;
    bool any = false;
    for (; j < sources.size() && sources[j].id == id; ++j) {
      const SegmentState& input = *inputs[sources[j].input];
      const std::uint64_t shift = input.base - base;
      input.segment->ForEach(*sources[j].entry, [&](std::uint32_t doc, std::uint32_t tf) {
        const std::uint64_t at = shift + doc;
        if (!input.IsLive(doc) || (any && at <= last)) return;
        terms.docs.push_back(static_cast<std::uint32_t>(at));
        terms.tfs.push_back(tf);
        last = at;
        any = true;
      });
    }
    if (terms.docs.size() == terms.starts.back()) continue;  // no live posting
    terms.ids.push_back(id);
    terms.fields.push_back(field);
    terms.starts.push_back(terms.docs.size());
  }
  CheckCancel(cancel);
  merged->owned_bytes = BuildSegment(static_cast<std::uint32_t>(doc_count), terms, lengths, cancel);
  merged->segment = std::make_shared<const Segment>(*merged->owned_bytes, merged->owned_bytes);
  merged->name = NewName("seg_");
  CheckCancel(cancel);
  if (store_documents_) {
    // The records of live documents, in number order; removed ones and gaps keep no record.
    DocumentStoreBuilder builder;
    std::uint64_t next = base;
    for (const SegmentState* input : inputs) {
      for (; next < input->base; ++next) builder.AddAbsent();
      if (input->store != nullptr) {
        input->store->ForEach([&](std::uint32_t local, const StoredDocument* record) {
          if ((local & 0xFFF) == 0xFFF) CheckCancel(cancel);
          if (record != nullptr && input->IsLive(local)) {
            builder.Add(record->text, record->id, record->metadata);
          } else {
            builder.AddAbsent();
          }
        });
      }
      for (next = input->base + (input->store != nullptr ? input->store->doc_count() : 0); next < input->end();
           ++next) {
        builder.AddAbsent();
      }
    }
    std::shared_ptr<const std::string> store_bytes = builder.Finish();
    merged->store = std::make_shared<const DocumentStore>(*store_bytes, store_bytes);
  }
  return merged;
}

void InvertedIndex::ReplaceSegments(std::size_t first, std::size_t last, std::unique_ptr<SegmentState> merged) {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  segments_.erase(segments_.begin() + static_cast<std::ptrdiff_t>(first),
                  segments_.begin() + static_cast<std::ptrdiff_t>(last));
  if (merged != nullptr) segments_.insert(segments_.begin() + static_cast<std::ptrdiff_t>(first), std::move(merged));
}

namespace {
int SizeClass(std::uint64_t live) {
  int level = 0;
  for (std::uint64_t x = std::max<std::uint64_t>(live, 1); x >= kMergeFactor; x /= kMergeFactor) ++level;
  return level;
}
}  // namespace

void InvertedIndex::MergeSmallSegments(const std::atomic<bool>* cancel) {
  // The newest segments form runs of falling size class; a run of kMergeFactor segments of one
  // class becomes one segment of the next, so each document is rewritten about log(N) times.
  for (;;) {
    const std::size_t n = segments_.size();
    if (n < kMergeFactor) return;
    const int level = SizeClass(segments_[n - 1]->live_count);
    std::size_t first = n - 1;
    while (first > 0 && SizeClass(segments_[first - 1]->live_count) <= level) --first;
    if (n - first < kMergeFactor) return;
    std::vector<const SegmentState*> inputs;
    for (std::size_t i = first; i < n; ++i) inputs.push_back(segments_[i].get());
    std::unique_ptr<SegmentState> merged;
    try {
      merged = BuildMerged(inputs, nullptr, cancel);
    } catch (const Interrupted&) {
      return;  // the next add merges them
    }
    ReplaceSegments(first, n, std::move(merged));
  }
}

void InvertedIndex::MergeAllSegments(const std::atomic<bool>* cancel) {
  std::lock_guard<std::mutex> writing(writer_);
  ExpungeRemoved();  // drops segments with no live document
  if (segments_.size() < 2 && (segments_.empty() || segments_.front()->removed.empty())) return;
  std::vector<const SegmentState*> inputs;
  for (const auto& state : segments_) inputs.push_back(state.get());
  ReplaceSegments(0, segments_.size(), BuildMerged(inputs, nullptr, cancel));
}

void InvertedIndex::ExpungeRemoved() {
  for (std::size_t i = 0; i < segments_.size(); ++i) {
    const SegmentState& state = *segments_[i];
    if (state.live_count == 0) {
      ReplaceSegments(i, i + 1, nullptr);
      --i;
      continue;
    }
    if (state.removed.size() >= kExpungeLeast &&
        static_cast<double>(state.removed.size()) >= kExpungeShare * state.segment->doc_count()) {
      ReplaceSegments(i, i + 1, BuildMerged({&state}, nullptr));
    }
  }
}

std::unique_ptr<InvertedIndex> InvertedIndex::Merge(const std::vector<const InvertedIndex*>& parts, double k1,
                                                    double b) {
  const bool store = !parts.empty() && parts.front()->store_documents_;
  for (const InvertedIndex* part : parts) {
    if (part->store_documents_ != store) {
      throw InvalidArgument("cannot merge indexes that store documents with indexes that do not");
    }
  }
  auto merged = std::make_unique<InvertedIndex>(k1, b, store);
  std::lock_guard<std::mutex> writing(merged->writer_);
  std::uint64_t offset = 0;
  for (const InvertedIndex* part : parts) {
    std::shared_lock<std::shared_mutex> lock(part->mutex_);
    if (offset + part->document_count_ > kMaxDocuments) {
      throw InvalidArgument("the merged index would hold more documents than an index can");
    }
    // The part's ids in its own order, renumbered in the merged dictionary.
    std::vector<std::pair<std::string_view, std::uint32_t>> terms = part->lexicon_.AllTerms();
    std::sort(terms.begin(), terms.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    std::vector<std::uint32_t> remap(part->lexicon_.next_id(), kNoTerm);
    for (const auto& [text, id] : terms) {
      if (id < remap.size()) remap[id] = merged->lexicon_.Intern(text);
    }
    for (const auto& state : part->segments_) {
      if (state->live_count == 0) continue;
      std::unique_ptr<SegmentState> copy = merged->BuildMerged({state.get()}, &remap);
      copy->base += offset;
      merged->live_count_ += copy->live_count;
      for (int f = 0; f < 2; ++f) merged->total_length_[f] += copy->totals[f];
      merged->segments_.push_back(std::move(copy));
    }
    offset += part->document_count_;
    merged->document_count_ = offset;
  }
  merged->MergeSmallSegments();
  return merged;
}

namespace {

constexpr const char* kEngineName = "lumotext-segments";
constexpr std::int64_t kEngineVersion = 1;
// An index that stores documents says this version, so that a release from before stored
// documents refuses it instead of loading it and saving it again without its texts.
constexpr std::int64_t kStoringEngineVersion = 2;

std::shared_ptr<const std::string> BytesOf(std::string_view bytes) {
  return std::make_shared<const std::string>(bytes);
}

}  // namespace

CommitPayload InvertedIndex::ToCommitPayload() const {
  std::lock_guard<std::mutex> writing(writer_);
  // Writers are held off, so what follows reads one state; readers only need to be kept out
  // while the dictionary's new terms become a table.
  {
    auto* self = const_cast<InvertedIndex*>(this);
    std::unique_lock<std::shared_mutex> lock(mutex_);
    self->lexicon_.SealAdded(self->NewName("terms_") + ".lex");
  }
  CommitPayload payload;
  std::string json = std::string("{\"engine\": \"") + kEngineName +
                     "\", \"version\": " + std::to_string(store_documents_ ? kStoringEngineVersion : kEngineVersion) +
                     ", \"documents\": " + std::to_string(document_count_) +
                     ", \"next_term\": " + std::to_string(lexicon_.next_id()) +
                     ", \"store\": " + (store_documents_ ? "true" : "false") + ", \"term_tables\": [";
  for (std::size_t i = 0; i < lexicon_.tables().size(); ++i) {
    const TermTable& table = lexicon_.tables()[i];
    json += (i ? ", \"" : "\"") + table.name() + "\"";
    payload.files.emplace_back(table.name(), table.bytes(), table.owner());
  }
  json += "], \"segments\": [";
  for (std::size_t i = 0; i < segments_.size(); ++i) {
    const SegmentState& state = *segments_[i];
    if (state.live_name.empty()) {
      state.live_name = state.name + ".live." + std::to_string(state.live_generation) + "_" + Hex8(salt_());
    }
    const std::string segment_file = state.name + ".seg";
    json += std::string(i ? ", " : "") + "{\"file\": \"" + segment_file + "\", \"live_file\": \"" + state.live_name +
            "\", \"base\": " + std::to_string(state.base) +
            ", \"documents\": " + std::to_string(state.segment->doc_count()) +
            ", \"live\": " + std::to_string(state.live_count) + ", \"words\": " + std::to_string(state.totals[0]) +
            ", \"bigrams\": " + std::to_string(state.totals[1]);
    // Immutable bytes, held by their owner (a built string or the mapping of a loaded save): a
    // view, never a copy. The live bitset changes under later removals, so it is copied.
    if (state.store != nullptr) {
      json += ", \"store_file\": \"" + state.name + ".docs\"";
      payload.files.emplace_back(state.name + ".docs", state.store->bytes(), state.store->owner());
    }
    json += "}";
    payload.files.emplace_back(segment_file, state.segment->bytes(), state.segment->owner());
    payload.files.emplace_back(
        state.live_name,
        BytesOf(std::string_view(reinterpret_cast<const char*>(state.live.data()), state.live.size() * 8)));
  }
  json += "]}";
  payload.engine_json = std::move(json);
  return payload;
}

std::unique_ptr<InvertedIndex> InvertedIndex::FromCommitPayload(const OpenedPayload& payload, double k1, double b) {
  using typing::text::json::JSON;
  auto bad = [](const std::string& why) { return CorruptIndex("damaged index: " + why); };
  if (payload.files.count("term_text.bin") != 0 && payload.engine_json.find(kEngineName) == std::string::npos) {
    return FromFirstFormat(payload, k1, b);
  }
  const JSON root = ParseEngineDescription(payload.engine_json);
  if (root.GetKind() != JSON::Kind::Object) throw bad("the engine description is not a JSON object");
  const auto& fields = root.Entries();
  // Indexes saved before documents were stored say nothing of a store: they store nothing.
  bool store = false;
  if (auto it = fields.find("store"); it != fields.end()) {
    bool ok = false;
    store = it->second.AsBool(ok);
    if (!ok) throw bad("the engine description's store is not true or false");
  }
  std::unique_ptr<InvertedIndex> index;
  try {
    index = std::make_unique<InvertedIndex>(k1, b, store);
  } catch (const InvalidArgument& e) {
    // k1 and b come from the saved commit: outside their ranges the save is damaged.
    throw bad(std::string("its k1 or b is out of range (") + e.what() + ")");
  }
  auto member = [&](const JSON::ObjectMap& object, const char* key) -> const JSON& {
    auto it = object.find(key);
    if (it == object.end()) throw bad(std::string("the engine description has no ") + key);
    return it->second;
  };
  auto integer = [&](const JSON::ObjectMap& object, const char* key, std::uint64_t largest) {
    bool ok = false;
    const std::int64_t value = member(object, key).AsInteger(ok);
    if (!ok || value < 0 || static_cast<std::uint64_t>(value) > largest) {
      throw bad(std::string("the engine description's ") + key + " is not a number from 0 to " +
                std::to_string(largest));
    }
    return static_cast<std::uint64_t>(value);
  };
  auto text = [&](const JSON& value, const char* what) {
    bool ok = false;
    std::string s = value.AsString(ok);
    if (!ok) throw bad(std::string(what) + " is not a string");
    return s;
  };
  auto file = [&](const std::string& name) {
    auto it = payload.files.find(name);
    if (it == payload.files.end()) throw bad("the commit does not hold " + name);
    return it->second;
  };
  if (text(member(fields, "engine"), "the engine name") != kEngineName) throw bad("not an index of this engine");
  const std::uint64_t version = integer(fields, "version", 1u << 30);
  if (version != static_cast<std::uint64_t>(kEngineVersion) &&
      version != static_cast<std::uint64_t>(kStoringEngineVersion)) {
    throw bad("engine version " + std::to_string(version) + " is not one this release reads");
  }
  index->document_count_ = integer(fields, "documents", kMaxDocuments);
  const std::uint64_t next_term = integer(fields, "next_term", std::uint64_t{kLargestTermId} + 1);
  std::vector<TermTable> tables;
  for (const JSON& name_value : member(fields, "term_tables").Elements()) {
    const std::string name = text(name_value, "a term table name");
    tables.emplace_back(name, file(name), payload.owner);
  }
  index->lexicon_.Restore(std::move(tables), static_cast<std::uint32_t>(next_term));
  std::uint64_t previous_end = 0;
  for (const JSON& item : member(fields, "segments").Elements()) {
    if (item.GetKind() != JSON::Kind::Object) throw bad("a segment description is not an object");
    const auto& seg = item.Entries();
    auto state = std::make_unique<SegmentState>();
    const std::string segment_file = text(member(seg, "file"), "a segment file name");
    if (segment_file.size() < 5 || segment_file.compare(segment_file.size() - 4, 4, ".seg") != 0) {
      throw bad("segment file " + segment_file + " is not named .seg");
    }
    state->name = segment_file.substr(0, segment_file.size() - 4);
    state->segment = std::make_shared<const Segment>(file(segment_file), payload.owner);
    state->base = integer(seg, "base", kMaxDocuments);
    if (state->base < previous_end || state->end() > index->document_count_ ||
        integer(seg, "documents", kMaxDocuments) != state->segment->doc_count()) {
      throw bad("segment " + state->name + " does not fit the document numbers");
    }
    previous_end = state->end();
    if (auto it = seg.find("store_file"); it != seg.end()) {
      if (!store) throw bad("segment " + state->name + " stores documents in an index that does not");
      const std::string store_file = text(it->second, "a store file name");
      state->store = std::make_shared<const DocumentStore>(file(store_file), payload.owner);
      if (state->store->doc_count() != state->segment->doc_count()) {
        throw bad(store_file + " does not hold a record per document of its segment");
      }
    } else if (store) {
      throw bad("segment " + state->name + " has no stored documents");
    }
    state->live_name = text(member(seg, "live_file"), "a live-documents file name");
    const std::string_view live = file(state->live_name);
    const std::uint64_t words = WordsFor(state->segment->doc_count());
    if (live.size() != words * 8) throw bad(state->live_name + " does not hold a bit per document");
    state->live.resize(words);
    if (words > 0) std::memcpy(state->live.data(), live.data(), live.size());
    std::uint64_t count = 0;
    for (std::uint64_t w = 0; w < words; ++w) {
      std::uint64_t bits = state->live[w];
      const std::uint64_t past = state->segment->doc_count() - w * 64;
      if (past < 64 && (bits >> past) != 0) throw bad(state->live_name + " marks documents past the segment");
      count += static_cast<std::uint64_t>(__builtin_popcountll(bits));
      // Removed documents that still have postings: their lengths were kept.
      for (std::uint64_t dead = ~bits & (past < 64 ? (std::uint64_t{1} << past) - 1 : ~std::uint64_t{0}); dead != 0;
           dead &= dead - 1) {
        const auto local = static_cast<std::uint32_t>(w * 64 + static_cast<unsigned>(__builtin_ctzll(dead)));
        if (state->segment->Length(local, 0) + std::uint64_t{state->segment->Length(local, 1)} > 0) {
          state->removed.push_back(local);
        }
      }
    }
    if (count != integer(seg, "live", kMaxDocuments)) throw bad(state->live_name + " disagrees with its live count");
    state->live_count = static_cast<std::uint32_t>(count);
    state->totals[0] = integer(seg, "words", ~std::uint64_t{0} >> 8);
    state->totals[1] = integer(seg, "bigrams", ~std::uint64_t{0} >> 8);
    const auto dot = state->live_name.rfind(".live.");
    if (dot == std::string::npos) throw bad(state->live_name + " is not named as a live-documents file");
    state->live_generation = std::strtoull(state->live_name.c_str() + dot + 6, nullptr, 10);
    index->live_count_ += count;
    for (int f = 0; f < 2; ++f) index->total_length_[f] += state->totals[f];
    index->segments_.push_back(std::move(state));
  }
  if (index->live_count_ > index->document_count_) throw bad("more live documents than documents");
  index->mapped_ = payload.owner;
  return index;
}

std::uint64_t InvertedIndex::document_count() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return document_count_;
}
std::uint64_t InvertedIndex::live_count() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return live_count_;
}
std::uint64_t InvertedIndex::term_count() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return lexicon_.next_id();
}
std::uint64_t InvertedIndex::total_length(int field) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return total_length_[field == 0 ? 0 : 1];
}
std::vector<std::uint32_t> InvertedIndex::LiveDocuments() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  std::vector<std::uint32_t> out;
  out.reserve(live_count_);
  for (const auto& state : segments_) {
    for (std::uint32_t doc = 0; doc < state->segment->doc_count(); ++doc) {
      if (state->IsLive(doc)) out.push_back(static_cast<std::uint32_t>(state->base + doc));
    }
  }
  return out;
}
std::uint32_t InvertedIndex::DocumentFrequency(std::string_view term) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  const std::uint32_t id = lexicon_.Find(term);
  return id == kNoTerm ? 0 : LiveDf(id);
}
std::uint32_t InvertedIndex::DocumentLength(std::uint64_t doc, int field) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  const SegmentState* state = FindSegment(doc);
  if (state == nullptr || !state->IsLive(static_cast<std::uint32_t>(doc - state->base))) throw UnknownDocument(doc);
  return state->segment->Length(static_cast<std::uint32_t>(doc - state->base), field == 0 ? 0 : 1);
}
EngineStats InvertedIndex::Stats() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  EngineStats stats;
  stats.segments = segments_.size();
  for (const auto& state : segments_) {
    stats.postings += state->segment->posting_count();
    stats.segment_bytes += state->segment->byte_size();
  }
  for (const TermTable& table : lexicon_.tables()) stats.term_table_bytes += table.bytes().size();
  for (const auto& state : segments_) stats.store_bytes += state->store ? state->store->bytes().size() : 0;
  return stats;
}

StoredDocument InvertedIndex::Document(std::uint64_t doc) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  const SegmentState* state = FindSegment(doc);
  if (state == nullptr || !state->IsLive(static_cast<std::uint32_t>(doc - state->base))) throw UnknownDocument(doc);
  CheckStoresDocuments();
  StoredDocument record;
  if (state->store == nullptr || !state->store->Get(static_cast<std::uint32_t>(doc - state->base), record)) {
    throw CorruptIndex("damaged index: document " + std::to_string(doc) + " has no stored record");
  }
  return record;
}

void InvertedIndex::CheckStoresDocuments() const {
  if (!store_documents_) {
    throw StateError(
        "this index does not store documents (made with store=False, or saved before documents were stored)");
  }
}

std::int64_t InvertedIndex::FindIdLocked(const std::string& id) const {
  std::vector<std::uint32_t> locals;
  for (const auto& state : segments_) {
    if (state->store == nullptr) continue;
    locals.clear();
    state->store->FindId(id, locals);
    for (std::uint32_t local : locals) {
      if (state->IsLive(local)) return static_cast<std::int64_t>(state->base + local);
    }
  }
  return -1;
}

std::vector<std::int64_t> InvertedIndex::FindIds(const std::vector<std::string>& ids) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  std::vector<std::int64_t> out;
  out.reserve(ids.size());
  for (const std::string& id : ids) out.push_back(FindIdLocked(id));
  return out;
}

void InvertedIndex::CheckNewIds(const std::vector<std::string>& ids) const {
  std::vector<std::string_view> sorted;
  for (const std::string& id : ids) {
    if (!id.empty()) sorted.push_back(id);
  }
  std::sort(sorted.begin(), sorted.end());
  const auto repeated = std::adjacent_find(sorted.begin(), sorted.end());
  if (repeated != sorted.end()) throw InvalidArgument("id " + std::string(*repeated) + " is given twice");
  std::shared_lock<std::shared_mutex> lock(mutex_);
  for (std::string_view id : sorted) {
    const std::int64_t holder = FindIdLocked(std::string(id));
    if (holder >= 0) {
      throw InvalidArgument("id " + std::string(id) + " is already held by document " + std::to_string(holder));
    }
  }
}

}  // namespace lumo::index
