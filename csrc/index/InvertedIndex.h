#pragma once

// The in-process inverted index: a term dictionary, a postings list per term (document number,
// term frequency), document lengths and a live flag per document, scored with BM25:
//
//   score(q, d) = sum over distinct query terms t of
//                 w(t) * qtf(t) * idf(t) * tf(t,d) * (k1 + 1) / (tf(t,d) + k1 * (1 - b + b * |d|f / avgdl_f))
//   idf(t)      = ln(1 + (N - df(t) + 0.5) / (df(t) + 0.5))
//
// Terms belong to one of two fields f: words (weight w = 1) and character bigrams (the
// analyzer's bigram weight); |d|f is the document's term count in the term's field and avgdl_f
// its mean. N, df and avgdl count live documents only. Documents are numbered 0, 1, 2, ... in the order
// they are added; a removed number is never reused.
//
// A loaded index keeps the saved postings where the loader mapped them (a base part, read-only)
// and appends new postings to a per-term tail, so it accepts adds, removes and saves as a built
// one does. Numbers in mapped data are bounds-checked where they are used, so damaged files can
// give wrong scores but never an out-of-range access.
#include <cstdint>
#include <deque>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "index/Analyzer.h"
#include "index/CommitPayload.h"
#include "index/Errors.h"

namespace lumo::index {

struct ScoredDocument {
  std::uint32_t doc;
  float score;
};

// Raw arrays of a saved index, as mapped from its files (see IndexFiles.h for the layout).
struct IndexArrays {
  const char* term_text = nullptr;
  std::size_t term_text_size = 0;
  const std::uint64_t* term_offsets = nullptr;     // n_terms + 1
  const std::uint32_t* term_order = nullptr;       // n_terms: term ids in byte order of their text
  const std::uint64_t* posting_offsets = nullptr;  // n_terms + 1
  const std::uint32_t* posting_docs = nullptr;     // n_postings
  const std::uint32_t* posting_tfs = nullptr;      // n_postings
  const std::uint32_t* doc_lengths = nullptr;      // 2 * n_docs: words, bigrams per document
  const std::uint8_t* live = nullptr;              // n_docs
  std::uint64_t n_terms = 0;
  std::uint64_t n_postings = 0;
  std::uint64_t n_docs = 0;
};

// Owned arrays for writing an index to files.
struct IndexSnapshot {
  std::string term_text;
  std::vector<std::uint64_t> term_offsets;
  std::vector<std::uint32_t> term_order;
  std::vector<std::uint64_t> posting_offsets;
  std::vector<std::uint32_t> posting_docs;
  std::vector<std::uint32_t> posting_tfs;
  std::vector<std::uint32_t> doc_lengths;  // words, bigrams per document
  std::vector<std::uint8_t> live;
};

// A batch of sparse vectors in compressed-row form: row r has entries [row_starts[r], row_starts[r+1]).
struct SparseRows {
  std::vector<std::uint32_t> rows;  // document numbers
  std::vector<std::uint64_t> row_starts;
  std::vector<std::uint32_t> indices;
  std::vector<float> values;
};

class InvertedIndex {
 public:
  InvertedIndex(double k1, double b);

  // Validates `arrays` (counts and offsets: O(terms + documents), postings are checked where
  // used) and takes them as the base part; `keep_alive` owns their memory. Throws
  // std::invalid_argument describing the first inconsistency.
  static std::unique_ptr<InvertedIndex> FromArrays(const IndexArrays& arrays, std::shared_ptr<const void> keep_alive,
                                                   double k1, double b);

  InvertedIndex(const InvertedIndex&) = delete;
  InvertedIndex& operator=(const InvertedIndex&) = delete;

  // Analyzes `texts` on `threads` worker threads (0 = one) and adds them as the next documents,
  // in order; returns the number of the first. The result does not depend on `threads`.
  std::uint32_t Add(const std::vector<std::string>& texts, const Analyzer& analyzer, unsigned threads);

  // Removes every listed document, or none when one of them is unknown or already removed
  // (UnknownDocument); repeats within the list count as an unknown number.
  void Remove(const std::vector<std::uint64_t>& docs);

  // The best `k` live documents for the query, best first, ties by lower number.
  std::vector<ScoredDocument> Search(std::string_view query, const Analyzer& analyzer, std::size_t k) const;
  // The same for a query given as its analyzed terms.
  std::vector<ScoredDocument> SearchTerms(const std::vector<std::string_view>& terms, std::size_t k,
                                          float bigram_weight = 0.0f) const;
  // One result list per query, written to results[i]; the same as Search for each.
  void SearchMany(const std::vector<std::string>& queries, const Analyzer& analyzer, std::size_t k, unsigned threads,
                  std::vector<std::vector<ScoredDocument>>& results) const;

  // Vector split of the score: a document's entries are tf*(k1+1)/(tf + k1*(1-b+b*|d|/avgdl))
  // per term id; a query's are qtf*idf (or qtf alone when the engine applies idf itself).
  SparseRows DocumentVectors(std::uint64_t first_doc, std::uint64_t end_doc) const;
  void QueryVector(std::string_view query, const Analyzer& analyzer, bool engine_idf,
                   std::vector<std::uint32_t>& indices, std::vector<float>& values) const;

  // A new index holding the documents of `parts` renumbered consecutively: part i's document n
  // becomes n plus the document counts (live or not) of the parts before it.
  static std::unique_ptr<InvertedIndex> Merge(const std::vector<const InvertedIndex*>& parts, double k1, double b);

  IndexSnapshot Snapshot() const;

  // The saved form (InvertedIndexPayload.cpp): the eight arrays of IndexFiles.h as files and
  // the counts as engine_json, all taken under one lock, so a save beside a writer thread is
  // one consistent state.
  CommitPayload ToCommitPayload() const;
  // The index over a loaded payload's arrays (mapped, not copied). CorruptIndex when the arrays
  // are inconsistent or disagree with the counts.
  static std::unique_ptr<InvertedIndex> FromCommitPayload(const OpenedPayload& payload, double k1, double b);

  std::uint64_t document_count() const;  // numbers given out, live or not
  std::uint64_t live_count() const;
  std::uint64_t term_count() const;
  std::uint64_t total_length(int field) const;
  std::vector<std::uint32_t> LiveDocuments() const;
  bool IsLive(std::uint64_t doc) const;
  double k1() const { return k1_; }
  double b() const { return b_; }
  // Document frequency of an analyzed term (0 when absent), for tests and statistics.
  std::uint32_t DocumentFrequency(std::string_view term) const;
  std::uint32_t DocumentLength(std::uint64_t doc, int field) const;

 private:
  struct Posting {
    std::uint32_t doc;
    std::uint32_t tf;
  };
  struct TermPostings {
    const std::uint32_t* base_docs = nullptr;
    const std::uint32_t* base_tfs = nullptr;
    std::uint64_t base_count = 0;
    std::vector<Posting> tail;
  };
  struct QueryTerm {
    std::uint32_t id;
    std::uint32_t qtf;
    float weight;  // qtf times the field weight
  };
  class Scratch;

  static constexpr std::uint32_t kNoTerm = 0xFFFFFFFFu;

  IndexSnapshot SnapshotLocked() const;
  std::uint32_t FindTerm(std::string_view term) const;
  std::uint32_t InternTerm(std::string_view term);
  std::string_view TermText(std::uint32_t id) const;
  double Idf(std::uint32_t id) const;
  void RefreshNorms();
  std::vector<QueryTerm> QueryTerms(const std::vector<std::string_view>& analyzed, float bigram_weight) const;
  std::vector<ScoredDocument> SearchLocked(const std::vector<QueryTerm>& terms, std::size_t k, Scratch& scratch) const;
  template <class F>
  void ForEachPosting(const TermPostings& postings, F&& f) const;

  double k1_;
  double b_;

  // Term dictionary: the mapped base part (sorted by text through term_order) and added terms.
  const char* base_term_text_ = nullptr;
  const std::uint64_t* base_term_offsets_ = nullptr;
  const std::uint32_t* base_term_order_ = nullptr;
  std::uint64_t base_term_count_ = 0;
  std::deque<std::string> added_terms_;                            // stable addresses
  std::unordered_map<std::string_view, std::uint32_t> added_ids_;  // views into added_terms_

  std::vector<TermPostings> postings_;      // by term id
  std::vector<std::uint32_t> df_;           // live documents per term
  std::vector<std::uint8_t> field_;         // per term: 0 words, 1 bigrams
  std::vector<std::uint32_t> doc_lengths_;  // [2 * doc + field]
  std::vector<std::uint8_t> live_;
  std::vector<float> norms_;  // [2 * doc + field]: k1 * (1 - b + b * |d|f / avgdl_f)
  std::uint64_t live_count_ = 0;
  std::uint64_t total_length_[2] = {0, 0};  // over live documents

  std::shared_ptr<const void> keep_alive_;
  mutable std::shared_mutex mutex_;
};

}  // namespace lumo::index
