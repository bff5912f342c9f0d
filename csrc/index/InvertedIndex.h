#pragma once

// The in-process inverted index, built of immutable segments, scored with BM25:
//
//   score(q, d) = sum over distinct query terms t of
//                 w(t) * qtf(t) * idf(t) * tf(t,d) * (k1 + 1) / (tf(t,d) + k1 * (1 - b + b * |d|f / avgdl_f))
//   idf(t)      = ln(1 + (N - df(t) + 0.5) / (df(t) + 0.5))
//
// Terms belong to one of two fields f: words (weight w = 1) and character bigrams (the
// analyzer's bigram weight); |d|f is the document's term count in the term's field and avgdl_f
// its mean. N, df and avgdl count live documents only. Documents are numbered 0, 1, 2, ... in
// the order they are added; a removed number is never reused.
//
// Each add becomes a new segment (Segment.h) over the next run of numbers; a segment never
// changes, except for its live-documents bitset. Small segments next to each other are merged
// (log-structured: a run of kMergeFactor segments of one size class becomes one), and so is a
// segment with many removed documents, whose postings are then dropped. Collection statistics
// are kept as documents come and go; a term's live df is its postings count per segment minus
// the removed documents among them, found by probing the segment's removed list against the
// postings when a query first needs it and remembered until the segment's next removal.
//
// Searches are exact top-k by block-max MaxScore over windows of documents: in each window,
// terms whose summed block bounds cannot lift a document into the current top k only complete
// candidates, the others are scored term at a time into the window's accumulators, and a window
// whose bounds are too low is skipped undecoded. A candidate's score is summed in the query's
// term order, as the exhaustive path sums it, so both give the same floats.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "index/Analyzer.h"
#include "index/CommitPayload.h"
#include "index/DocumentStore.h"
#include "index/Errors.h"
#include "index/Lexicon.h"
#include "index/Segment.h"

namespace lumo::index {

struct ScoredDocument {
  std::uint32_t doc;
  float score;
};

// A batch of sparse vectors in compressed-row form: row r has entries [row_starts[r], row_starts[r+1]).
struct SparseRows {
  std::vector<std::uint32_t> rows;  // document numbers
  std::vector<std::uint64_t> row_starts;
  std::vector<std::uint32_t> indices;
  std::vector<float> values;
};

// Limits checked before any work or allocation.
inline constexpr double kLargestK1 = 1e4;  // keeps every score and vector value finite
inline constexpr std::uint64_t kLargestK = 1u << 30;
inline constexpr unsigned kMostThreads = 1024;
// Below this many documents a segment is scored posting by posting (measured faster there).
inline constexpr std::uint64_t kPruneFromDocuments = 1u << 16;
// Documents per window of the pruned pass (its accumulators: 4 bytes and a bit per document).
inline constexpr std::uint32_t kSearchWindow = 8192;

// Sizes of the engine's parts, for benchmarks.
struct EngineStats {
  std::uint64_t segments = 0;
  std::uint64_t postings = 0;
  std::uint64_t segment_bytes = 0;
  std::uint64_t term_table_bytes = 0;
  std::uint64_t store_bytes = 0;
};

// What an index that stores documents keeps beside each text: per list, nothing (empty) or one
// entry per text; an empty entry is no id, or no metadata (a JSON object's text otherwise,
// passed through unchanged).
struct DocumentFields {
  std::vector<std::string> ids;
  std::vector<std::string> metadata;
};

class InvertedIndex {
 public:
  // InvalidArgument unless 0 <= k1 <= kLargestK1 and 0 <= b <= 1. With `store_documents`, each
  // document's text, id and metadata ride beside the postings of its segment (DocumentStore.h),
  // through merges, saves and loads.
  InvertedIndex(double k1, double b, bool store_documents = false);
  InvertedIndex(const InvertedIndex&) = delete;
  InvertedIndex& operator=(const InvertedIndex&) = delete;
  ~InvertedIndex();

  // Analyzes `texts` on `threads` worker threads (0 = one) and adds them as the next documents,
  // in order; returns the number of the first. The result does not depend on `threads`. When
  // `cancel` becomes true during the analysis, throws Interrupted and adds nothing. `fields`
  // (ids, metadata) need an index that stores documents; an id must not be held by a live
  // document or repeat within the batch (InvalidArgument, nothing added).
  std::uint32_t Add(const std::vector<std::string>& texts, const Analyzer& analyzer, unsigned threads,
                    const std::atomic<bool>* cancel = nullptr, const DocumentFields* fields = nullptr);

  // Removes every listed document, or none when one of them is unknown or already removed
  // (UnknownDocument); repeats within the list count as an unknown number.
  void Remove(const std::vector<std::uint64_t>& docs);

  // Rewrites every segment as one, without its removed documents; numbers stay. Searches over
  // one segment skip more and the index is smaller (measured at 1M documents: 24% more queries
  // a second, 19% fewer bytes than the nine segments a batched build leaves), at the cost of
  // one pass over the whole index. Throws Interrupted once `cancel` is true, leaving the segments
  // as they were.
  void MergeAllSegments(const std::atomic<bool>* cancel = nullptr);

  // The best `k` live documents for the query, best first, ties by lower number.
  std::vector<ScoredDocument> Search(std::string_view query, const Analyzer& analyzer, std::size_t k,
                                     const std::atomic<bool>* cancel = nullptr) const;
  // The same for a query given as its analyzed terms.
  std::vector<ScoredDocument> SearchTerms(const std::vector<std::string_view>& terms, std::size_t k,
                                          float bigram_weight) const;
  // The same result by scoring every posting of every query term (the reference for tests).
  std::vector<ScoredDocument> SearchExhaustive(const std::vector<std::string_view>& terms, std::size_t k,
                                               float bigram_weight) const;
  // One result list per query, written to results[i]; the same as Search for each.
  void SearchMany(const std::vector<std::string>& queries, const Analyzer& analyzer, std::size_t k, unsigned threads,
                  std::vector<std::vector<ScoredDocument>>& results, const std::atomic<bool>* cancel = nullptr) const;

  // Vector split of the score: a document's entries are tf*(k1+1)/(tf + k1*(1-b+b*|d|/avgdl))
  // per term id, ascending; a query's are qtf*idf (or qtf alone when the engine applies idf).
  SparseRows DocumentVectors(std::uint64_t first_doc, std::uint64_t end_doc) const;
  void QueryVector(std::string_view query, const Analyzer& analyzer, bool engine_idf,
                   std::vector<std::uint32_t>& indices, std::vector<float>& values) const;

  // A new index holding the documents of `parts` renumbered consecutively: part i's document n
  // becomes n plus the document counts (live or not) of the parts before it.
  static std::unique_ptr<InvertedIndex> Merge(const std::vector<const InvertedIndex*>& parts, double k1, double b);

  // One consistent state for saving: every segment, live bitset and term table as a named
  // file (a name always means the same bytes), and the engine description as JSON.
  CommitPayload ToCommitPayload() const;
  // The index a payload describes, over its mapped files. Checks run in time proportional to
  // the segments (never to terms or postings); throws CorruptIndex for any inconsistency.
  // A payload of the first saved format (its eight arrays, IndexFiles.h) is converted.
  static std::unique_ptr<InvertedIndex> FromCommitPayload(const OpenedPayload& payload, double k1, double b);

  // The stored record of a live document: UnknownDocument for any other number, StateError
  // when the index does not store documents.
  StoredDocument Document(std::uint64_t doc) const;
  // The live document holding each id, or -1.
  std::vector<std::int64_t> FindIds(const std::vector<std::string>& ids) const;
  bool stores_documents() const { return store_documents_; }
  // StateError unless the index stores documents.
  void CheckStoresDocuments() const;

  std::uint64_t document_count() const;  // numbers given out, live or not
  std::uint64_t live_count() const;
  std::uint64_t term_count() const;
  std::uint64_t total_length(int field) const;
  std::vector<std::uint32_t> LiveDocuments() const;
  double k1() const { return k1_; }
  double b() const { return b_; }
  // Document frequency of an analyzed term over live documents (0 when absent).
  std::uint32_t DocumentFrequency(std::string_view term) const;
  std::uint32_t DocumentLength(std::uint64_t doc, int field) const;
  EngineStats Stats() const;
  // Segments of at least this many documents are searched document at a time with pruning,
  // smaller ones by scoring every posting (both exact); for tests and benchmarks.
  void set_prune_from_documents(std::uint64_t documents) { prune_from_documents_.store(documents); }
  // Documents per window of the pruned pass (at least 1), for tests.
  void set_search_window(std::uint32_t documents) { search_window_.store(documents); }

 private:
  struct SegmentState;
  struct QueryTerm;
  struct Scoring;
  class TopK;
  class Scratch;

  static std::unique_ptr<InvertedIndex> FromFirstFormat(const OpenedPayload& payload, double k1, double b);
  // Builds a segment of the next `doc_count` numbers and adds it with its live documents.
  void AppendSegment(std::uint32_t doc_count, const std::vector<TermPostingsInput>& terms,
                     const std::vector<std::uint32_t>& lengths, std::vector<std::uint64_t> live);
  SegmentState* FindSegment(std::uint64_t doc) const;
  // With `found`, also sets found[i] to the term's entry in segment i (or null).
  std::uint32_t LiveDf(std::uint32_t id, const TermEntry** found = nullptr) const;
  std::uint32_t DeletedHits(const SegmentState& state, const TermEntry& entry) const;
  double Idf(std::uint32_t df) const;
  Scoring MakeScoring() const;
  // With `entries`: each kept term's entries per segment, terms.size() x segments_.size().
  std::vector<QueryTerm> QueryTerms(const std::vector<std::string_view>& analyzed, float bigram_weight,
                                    std::vector<const TermEntry*>* entries = nullptr) const;
  void AccumulateSegment(const SegmentState& state, std::size_t segment_index, const std::vector<QueryTerm>& terms,
                         const Scoring& scoring, Scratch& scratch, const std::atomic<bool>* cancel) const;
  void SeedThreshold(const SegmentState& state, const std::vector<QueryTerm>& terms, const Scoring& scoring,
                     std::size_t n, std::size_t k, Scratch& scratch) const;
  void SearchSegment(const SegmentState& state, std::size_t segment_index, const std::vector<QueryTerm>& terms,
                     const Scoring& scoring, std::size_t k, Scratch& scratch, const std::atomic<bool>* cancel) const;
  void SearchLocked(const std::vector<QueryTerm>& terms, std::size_t k, Scratch& scratch,
                    std::vector<ScoredDocument>& out, const std::atomic<bool>* cancel) const;
  std::string NewName(const char* prefix);
  std::unique_ptr<SegmentState> BuildMerged(const std::vector<const SegmentState*>& inputs,
                                            const std::vector<std::uint32_t>* remap,
                                            const std::atomic<bool>* cancel = nullptr);
  void ReplaceSegments(std::size_t first, std::size_t last, std::unique_ptr<SegmentState> merged);
  // Merging is upkeep, not part of what the caller asked for: a cancel stops it quietly.
  void MergeSmallSegments(const std::atomic<bool>* cancel = nullptr);
  void ExpungeRemoved();

  void CheckNewIds(const std::vector<std::string>& ids) const;
  std::int64_t FindIdLocked(const std::string& id) const;

  double k1_;
  double b_;
  bool store_documents_;
  mutable Lexicon lexicon_;
  std::vector<std::shared_ptr<SegmentState>> segments_;  // ascending base
  std::uint64_t document_count_ = 0;
  std::uint64_t live_count_ = 0;
  std::uint64_t total_length_[2] = {0, 0};  // over live documents
  mutable std::uint64_t next_name_ = 0;
  mutable std::mt19937_64 salt_;
  std::shared_ptr<const void> mapped_;  // the files of a loaded payload
  std::atomic<std::uint64_t> prune_from_documents_{kPruneFromDocuments};
  std::atomic<std::uint32_t> search_window_{kSearchWindow};

  // Readers take mutex_ shared. Writers (add, remove, merges, saving) take writer_ first, then
  // mutex_ exclusively only for the moments they change what readers see.
  mutable std::shared_mutex mutex_;
  mutable std::mutex writer_;
};

}  // namespace lumo::index
