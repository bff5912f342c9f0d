#include "index/InvertedIndex.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

namespace lumo::index {

namespace {

constexpr std::uint64_t kMaxDocuments = 0xFFFFFFFEu;

// Runs work(begin, end) over [0, count) in chunks on `threads` threads (the caller's included);
// the first exception is rethrown after all threads have stopped.
template <class Work>
void RunChunked(std::size_t count, unsigned threads, std::size_t chunk, Work&& work) {
  if (threads <= 1 || count <= chunk) {
    work(std::size_t{0}, count);
    return;
  }
  std::atomic<std::size_t> next{0};
  std::exception_ptr failure;
  std::mutex failure_mutex;
  auto loop = [&] {
    try {
      for (;;) {
        const std::size_t begin = next.fetch_add(chunk);
        if (begin >= count) return;
        work(begin, std::min(count, begin + chunk));
      }
    } catch (...) {
      std::lock_guard<std::mutex> guard(failure_mutex);
      if (!failure) failure = std::current_exception();
      next.store(count);
    }
  };
  const unsigned extra = std::min<std::size_t>(threads, (count + chunk - 1) / chunk) - 1;
  std::vector<std::thread> pool;
  pool.reserve(extra);
  try {
    for (unsigned i = 0; i < extra; ++i) pool.emplace_back(loop);
  } catch (...) {
    next.store(count);
    for (auto& t : pool) t.join();
    throw;
  }
  loop();
  for (auto& t : pool) t.join();
  if (failure) std::rethrow_exception(failure);
}

bool Better(const ScoredDocument& a, const ScoredDocument& b) {
  return a.score > b.score || (a.score == b.score && a.doc < b.doc);
}

}  // namespace

// Per-thread working memory of a search: one accumulator per document and the documents touched.
class InvertedIndex::Scratch {
 public:
  std::vector<float> scores;
  std::vector<std::uint32_t> touched;
};

InvertedIndex::InvertedIndex(double k1, double b) : k1_(k1), b_(b) {
  if (!std::isfinite(k1) || k1 < 0) throw std::invalid_argument("k1 must be a finite number >= 0");
  if (!std::isfinite(b) || b < 0 || b > 1) throw std::invalid_argument("b must be between 0 and 1");
}

template <class F>
void InvertedIndex::ForEachPosting(const TermPostings& postings, F&& f) const {
  const std::uint64_t n_docs = live_.size();
  // Mapped postings are taken only in strictly ascending document order, as they are saved:
  // a damaged list can then neither reach past the documents nor count a document twice.
  std::uint64_t next_allowed = 0;
  for (std::uint64_t i = 0; i < postings.base_count; ++i) {
    const std::uint32_t doc = postings.base_docs[i];
    if (doc < next_allowed || doc >= n_docs) continue;
    next_allowed = std::uint64_t{doc} + 1;
    const std::uint32_t tf = postings.base_tfs[i];
    if (live_[doc] && tf != 0) f(doc, tf);
  }
  for (const Posting& p : postings.tail) {
    if (live_[p.doc]) f(p.doc, p.tf);
  }
}

std::string_view InvertedIndex::TermText(std::uint32_t id) const {
  if (id < base_term_count_) {
    return std::string_view(base_term_text_ + base_term_offsets_[id],
                            base_term_offsets_[id + 1] - base_term_offsets_[id]);
  }
  return added_terms_[id - base_term_count_];
}

std::uint32_t InvertedIndex::FindTerm(std::string_view term) const {
  if (!added_ids_.empty()) {
    auto it = added_ids_.find(term);
    if (it != added_ids_.end()) return it->second;
  }
  std::uint64_t lo = 0, hi = base_term_count_;
  while (lo < hi) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    const std::uint32_t id = base_term_order_[mid];
    const int c = TermText(id).compare(term);
    if (c == 0) return id;
    if (c < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  return kNoTerm;
}

std::uint32_t InvertedIndex::InternTerm(std::string_view term) {
  std::uint32_t id = FindTerm(term);
  if (id != kNoTerm) return id;
  if (postings_.size() >= kNoTerm) throw std::length_error("the index holds the largest number of terms it can");
  id = static_cast<std::uint32_t>(postings_.size());
  postings_.emplace_back();
  df_.push_back(0);
  field_.push_back(IsBigramTerm(term) ? 1 : 0);
  added_terms_.emplace_back(term);
  added_ids_.emplace(added_terms_.back(), id);
  return id;
}

double InvertedIndex::Idf(std::uint32_t id) const {
  const double n = static_cast<double>(live_count_);
  const double df = std::min<double>(df_[id], n);
  return std::log(1.0 + (n - df + 0.5) / (df + 0.5));
}

void InvertedIndex::RefreshNorms() {
  norms_.resize(doc_lengths_.size());
  double avgdl[2];
  for (int f = 0; f < 2; ++f) {
    avgdl[f] = live_count_ == 0 ? 0.0 : static_cast<double>(total_length_[f]) / static_cast<double>(live_count_);
  }
  for (std::size_t i = 0; i < doc_lengths_.size(); ++i) {
    const double mean = avgdl[i % 2];
    const double relative = mean > 0 ? doc_lengths_[i] / mean : 1.0;
    norms_[i] = static_cast<float>(k1_ * (1.0 - b_ + b_ * relative));
  }
}

std::uint32_t InvertedIndex::Add(const std::vector<std::string>& texts, const Analyzer& analyzer, unsigned threads) {
  struct DocTerms {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> known;
    std::vector<std::pair<std::string, std::uint32_t>> unknown;
    std::uint32_t length[2] = {0, 0};
  };
  std::unique_lock<std::shared_mutex> lock(mutex_);
  if (live_.size() + texts.size() > kMaxDocuments) {
    throw std::length_error("the index holds the largest number of documents it can");
  }
  std::vector<DocTerms> analyzed(texts.size());
  // Parallel part: analysis and lookup of terms already known (the dictionary is only read).
  RunChunked(texts.size(), threads, 16, [&](std::size_t begin, std::size_t end) {
    AnalyzedText buffer;
    std::vector<std::string_view> sorted;
    for (std::size_t i = begin; i < end; ++i) {
      analyzer.Analyze(texts[i], buffer);
      DocTerms& doc = analyzed[i];
      std::size_t bigrams = 0;
      for (std::string_view term : buffer.terms) bigrams += IsBigramTerm(term);
      doc.length[0] = static_cast<std::uint32_t>(std::min<std::size_t>(buffer.terms.size() - bigrams, 0xFFFFFFFFu));
      doc.length[1] = static_cast<std::uint32_t>(std::min<std::size_t>(bigrams, 0xFFFFFFFFu));
      sorted.assign(buffer.terms.begin(), buffer.terms.end());
      std::sort(sorted.begin(), sorted.end());
      for (std::size_t j = 0; j < sorted.size();) {
        std::size_t k = j + 1;
        while (k < sorted.size() && sorted[k] == sorted[j]) ++k;
        const auto tf = static_cast<std::uint32_t>(k - j);
        const std::uint32_t id = FindTerm(sorted[j]);
        if (id != kNoTerm)
          doc.known.emplace_back(id, tf);
        else
          doc.unknown.emplace_back(std::string(sorted[j]), tf);
        j = k;
      }
    }
  });
  // Sequential part, in document order: new terms get their ids here, so they do not depend on
  // the number of threads.
  const auto first = static_cast<std::uint32_t>(live_.size());
  doc_lengths_.reserve(doc_lengths_.size() + 2 * texts.size());
  live_.reserve(live_.size() + texts.size());
  for (std::size_t i = 0; i < analyzed.size(); ++i) {
    const auto doc = static_cast<std::uint32_t>(first + i);
    DocTerms& terms = analyzed[i];
    for (const auto& [id, tf] : terms.known) {
      postings_[id].tail.push_back({doc, tf});
      ++df_[id];
    }
    for (const auto& [text, tf] : terms.unknown) {
      const std::uint32_t id = InternTerm(text);
      postings_[id].tail.push_back({doc, tf});
      ++df_[id];
    }
    for (int f = 0; f < 2; ++f) {
      doc_lengths_.push_back(terms.length[f]);
      total_length_[f] += terms.length[f];
    }
    live_.push_back(1);
    ++live_count_;
    DocTerms().known.swap(terms.known);  // free as we go: a batch's analysis can be large
    DocTerms().unknown.swap(terms.unknown);
  }
  RefreshNorms();
  return first;
}

void InvertedIndex::Remove(const std::vector<std::uint64_t>& docs) {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  std::vector<std::uint8_t> removed(live_.size(), 0);
  for (std::uint64_t doc : docs) {
    if (doc >= live_.size() || !live_[doc] || removed[doc]) throw UnknownDocument(doc);
    removed[doc] = 1;
  }
  if (docs.empty()) return;
  // Document frequencies first, while the postings of the removed documents are still visited.
  for (std::size_t t = 0; t < postings_.size(); ++t) {
    std::uint32_t gone = 0;
    ForEachPosting(postings_[t], [&](std::uint32_t doc, std::uint32_t) { gone += removed[doc]; });
    df_[t] -= std::min(gone, df_[t]);
  }
  for (std::uint64_t doc : docs) {
    live_[doc] = 0;
    --live_count_;
    for (int f = 0; f < 2; ++f) total_length_[f] -= doc_lengths_[2 * doc + f];
  }
  RefreshNorms();
}

std::vector<InvertedIndex::QueryTerm> InvertedIndex::QueryTerms(const std::vector<std::string_view>& analyzed,
                                                                float bigram_weight) const {
  std::vector<std::uint32_t> ids;
  ids.reserve(analyzed.size());
  for (std::string_view term : analyzed) {
    const std::uint32_t id = FindTerm(term);
    if (id != kNoTerm && df_[id] != 0) ids.push_back(id);
  }
  std::sort(ids.begin(), ids.end());
  std::vector<QueryTerm> terms;
  for (std::size_t j = 0; j < ids.size();) {
    std::size_t k = j + 1;
    while (k < ids.size() && ids[k] == ids[j]) ++k;
    const auto qtf = static_cast<std::uint32_t>(k - j);
    const float weight = static_cast<float>(qtf) * (field_[ids[j]] == 1 ? bigram_weight : 1.0f);
    // A term of negligible weight is left out: its contributions could round to zero, and a
    // zero accumulator is how a search tells an untouched document.
    if (weight * Idf(ids[j]) >= 1e-20) terms.push_back({ids[j], qtf, weight});
    j = k;
  }
  return terms;
}

std::vector<ScoredDocument> InvertedIndex::SearchLocked(const std::vector<QueryTerm>& terms, std::size_t k,
                                                        Scratch& scratch) const {
  std::vector<ScoredDocument> best;
  if (terms.empty() || k == 0) return best;
  scratch.scores.resize(live_.size(), 0.0f);
  scratch.touched.clear();
  const float k1_plus_1 = static_cast<float>(k1_ + 1.0);
  for (const QueryTerm& term : terms) {
    const float weight = term.weight * static_cast<float>(Idf(term.id));
    const std::size_t field = field_[term.id];
    ForEachPosting(postings_[term.id], [&](std::uint32_t doc, std::uint32_t tf) {
      const float tf_f = static_cast<float>(tf);
      const float saturation = tf_f * k1_plus_1 / (tf_f + norms_[2 * doc + field]);
      float& acc = scratch.scores[doc];
      if (acc == 0.0f) scratch.touched.push_back(doc);
      acc += weight * saturation;
    });
  }
  best.reserve(scratch.touched.size());
  for (std::uint32_t doc : scratch.touched) {
    best.push_back({doc, scratch.scores[doc]});
    scratch.scores[doc] = 0.0f;
  }
  if (best.size() > k) {
    std::nth_element(best.begin(), best.begin() + static_cast<std::ptrdiff_t>(k), best.end(), Better);
    best.resize(k);
  }
  std::sort(best.begin(), best.end(), Better);
  return best;
}

std::vector<ScoredDocument> InvertedIndex::Search(std::string_view query, const Analyzer& analyzer,
                                                  std::size_t k) const {
  AnalyzedText analyzed;
  analyzer.Analyze(query, analyzed);
  return SearchTerms(analyzed.terms, k, analyzer.settings().bigram_weight);
}

std::vector<ScoredDocument> InvertedIndex::SearchTerms(const std::vector<std::string_view>& terms, std::size_t k,
                                                       float bigram_weight) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  Scratch scratch;
  return SearchLocked(QueryTerms(terms, bigram_weight), k, scratch);
}

void InvertedIndex::SearchMany(const std::vector<std::string>& queries, const Analyzer& analyzer, std::size_t k,
                               unsigned threads, std::vector<std::vector<ScoredDocument>>& results) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  results.assign(queries.size(), {});
  RunChunked(queries.size(), threads, 8, [&](std::size_t begin, std::size_t end) {
    Scratch scratch;
    AnalyzedText analyzed;
    for (std::size_t i = begin; i < end; ++i) {
      analyzer.Analyze(queries[i], analyzed);
      results[i] = SearchLocked(QueryTerms(analyzed.terms, analyzer.settings().bigram_weight), k, scratch);
    }
  });
}

SparseRows InvertedIndex::DocumentVectors(std::uint64_t first_doc, std::uint64_t end_doc) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  SparseRows out;
  end_doc = std::min<std::uint64_t>(end_doc, live_.size());
  if (first_doc >= end_doc) {
    out.row_starts.push_back(0);
    return out;
  }
  const std::uint64_t span = end_doc - first_doc;
  std::vector<std::uint64_t> counts(span + 1, 0);
  // Postings are in ascending document order within the base and within the tail.
  auto for_range = [&](const TermPostings& postings, auto&& f) {
    const std::uint32_t* base_end = postings.base_docs + postings.base_count;
    const std::uint32_t* it = std::lower_bound(postings.base_docs, base_end, static_cast<std::uint32_t>(first_doc));
    std::uint64_t next_allowed = first_doc;  // strictly ascending, as in ForEachPosting
    for (; it != base_end; ++it) {
      const std::uint32_t doc = *it;
      if (doc >= end_doc) break;
      if (doc < next_allowed) continue;
      next_allowed = std::uint64_t{doc} + 1;
      const std::uint32_t tf = postings.base_tfs[it - postings.base_docs];
      if (live_[doc] && tf != 0) f(doc, tf);
    }
    auto tail = std::lower_bound(postings.tail.begin(), postings.tail.end(), first_doc,
                                 [](const Posting& p, std::uint64_t d) { return p.doc < d; });
    for (; tail != postings.tail.end() && tail->doc < end_doc; ++tail) {
      if (live_[tail->doc]) f(tail->doc, tail->tf);
    }
  };
  for (const TermPostings& postings : postings_) {
    for_range(postings, [&](std::uint32_t doc, std::uint32_t) { ++counts[doc - first_doc + 1]; });
  }
  for (std::uint64_t i = 1; i <= span; ++i) counts[i] += counts[i - 1];
  out.indices.resize(counts[span]);
  out.values.resize(counts[span]);
  std::vector<std::uint64_t> fill(counts.begin(), counts.end() - 1);
  const float k1_plus_1 = static_cast<float>(k1_ + 1.0);
  for (std::uint32_t t = 0; t < postings_.size(); ++t) {
    for_range(postings_[t], [&](std::uint32_t doc, std::uint32_t tf) {
      const float tf_f = static_cast<float>(tf);
      const std::uint64_t at = fill[doc - first_doc]++;
      out.indices[at] = t;
      out.values[at] = tf_f * k1_plus_1 / (tf_f + norms_[2 * doc + field_[t]]);
    });
  }
  for (std::uint64_t doc = first_doc; doc < end_doc; ++doc) {
    if (!live_[doc]) continue;
    out.rows.push_back(static_cast<std::uint32_t>(doc));
    out.row_starts.push_back(counts[doc - first_doc]);
  }
  out.row_starts.push_back(counts[span]);
  // Rows of live documents only: their entries are contiguous since removed ones have none.
  return out;
}

void InvertedIndex::QueryVector(std::string_view query, const Analyzer& analyzer, bool engine_idf,
                                std::vector<std::uint32_t>& indices, std::vector<float>& values) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  indices.clear();
  values.clear();
  AnalyzedText analyzed;
  analyzer.Analyze(query, analyzed);
  for (const QueryTerm& term : QueryTerms(analyzed.terms, analyzer.settings().bigram_weight)) {
    indices.push_back(term.id);
    values.push_back(engine_idf ? term.weight : term.weight * static_cast<float>(Idf(term.id)));
  }
}

std::unique_ptr<InvertedIndex> InvertedIndex::Merge(const std::vector<const InvertedIndex*>& parts, double k1,
                                                    double b) {
  auto merged = std::make_unique<InvertedIndex>(k1, b);
  std::uint64_t offset = 0;
  for (const InvertedIndex* part : parts) {
    std::shared_lock<std::shared_mutex> lock(part->mutex_);
    if (offset + part->live_.size() > kMaxDocuments) {
      throw std::length_error("the merged index would hold more documents than an index can");
    }
    for (std::uint32_t t = 0; t < part->postings_.size(); ++t) {
      std::uint32_t id = kNoTerm;
      part->ForEachPosting(part->postings_[t], [&](std::uint32_t doc, std::uint32_t tf) {
        if (id == kNoTerm) id = merged->InternTerm(part->TermText(t));
        merged->postings_[id].tail.push_back({static_cast<std::uint32_t>(doc + offset), tf});
        ++merged->df_[id];
      });
    }
    merged->doc_lengths_.insert(merged->doc_lengths_.end(), part->doc_lengths_.begin(), part->doc_lengths_.end());
    merged->live_.insert(merged->live_.end(), part->live_.begin(), part->live_.end());
    merged->live_count_ += part->live_count_;
    for (int f = 0; f < 2; ++f) merged->total_length_[f] += part->total_length_[f];
    offset += part->live_.size();
  }
  merged->RefreshNorms();
  return merged;
}

IndexSnapshot InvertedIndex::Snapshot() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return SnapshotLocked();
}

IndexSnapshot InvertedIndex::SnapshotLocked() const {
  IndexSnapshot s;
  const auto n_terms = static_cast<std::uint32_t>(postings_.size());
  s.term_offsets.reserve(n_terms + 1);
  s.term_offsets.push_back(0);
  s.posting_offsets.reserve(n_terms + 1);
  s.posting_offsets.push_back(0);
  for (std::uint32_t t = 0; t < n_terms; ++t) {
    s.term_text.append(TermText(t));
    s.term_offsets.push_back(s.term_text.size());
    ForEachPosting(postings_[t], [&](std::uint32_t doc, std::uint32_t tf) {
      s.posting_docs.push_back(doc);
      s.posting_tfs.push_back(tf);
    });
    s.posting_offsets.push_back(s.posting_docs.size());
  }
  s.term_order.resize(n_terms);
  for (std::uint32_t t = 0; t < n_terms; ++t) s.term_order[t] = t;
  std::sort(s.term_order.begin(), s.term_order.end(),
            [&](std::uint32_t a, std::uint32_t b) { return TermText(a) < TermText(b); });
  s.doc_lengths = doc_lengths_;
  s.live = live_;
  return s;
}

std::unique_ptr<InvertedIndex> InvertedIndex::FromArrays(const IndexArrays& a, std::shared_ptr<const void> keep_alive,
                                                         double k1, double b) {
  auto bad = [](const std::string& why) { return std::invalid_argument("damaged index: " + why); };
  if (a.n_terms >= kNoTerm) throw bad("too many terms");
  if (a.n_docs > kMaxDocuments) throw bad("too many documents");
  if (a.term_offsets[0] != 0 || a.posting_offsets[0] != 0) throw bad("offsets do not start at 0");
  for (std::uint64_t t = 0; t < a.n_terms; ++t) {
    if (a.term_offsets[t + 1] < a.term_offsets[t]) throw bad("term offsets decrease");
    if (a.posting_offsets[t + 1] < a.posting_offsets[t]) throw bad("posting offsets decrease");
  }
  if (a.term_offsets[a.n_terms] != a.term_text_size) throw bad("term offsets do not end at the text size");
  if (a.posting_offsets[a.n_terms] != a.n_postings) throw bad("posting offsets do not end at the posting count");
  auto index = std::make_unique<InvertedIndex>(k1, b);
  index->base_term_text_ = a.term_text;
  index->base_term_offsets_ = a.term_offsets;
  index->base_term_order_ = a.term_order;
  index->base_term_count_ = a.n_terms;
  {
    std::vector<std::uint8_t> seen(a.n_terms, 0);
    for (std::uint64_t i = 0; i < a.n_terms; ++i) {
      const std::uint32_t id = a.term_order[i];
      if (id >= a.n_terms || seen[id]) throw bad("the term order is not a permutation");
      seen[id] = 1;
      if (i > 0 && !(index->TermText(a.term_order[i - 1]) < index->TermText(id))) {
        throw bad("the term order is not strictly ascending");
      }
    }
  }
  index->postings_.resize(a.n_terms);
  index->df_.resize(a.n_terms);
  index->field_.resize(a.n_terms);
  for (std::uint64_t t = 0; t < a.n_terms; ++t) {
    TermPostings& p = index->postings_[t];
    p.base_docs = a.posting_docs + a.posting_offsets[t];
    p.base_tfs = a.posting_tfs + a.posting_offsets[t];
    p.base_count = a.posting_offsets[t + 1] - a.posting_offsets[t];
    // A saved index holds postings of live documents only.
    index->df_[t] = static_cast<std::uint32_t>(std::min<std::uint64_t>(p.base_count, a.n_docs));
    index->field_[t] = IsBigramTerm(index->TermText(static_cast<std::uint32_t>(t))) ? 1 : 0;
  }
  index->doc_lengths_.assign(a.doc_lengths, a.doc_lengths + 2 * a.n_docs);
  index->live_.assign(a.live, a.live + a.n_docs);
  for (std::uint64_t d = 0; d < a.n_docs; ++d) {
    if (a.live[d] > 1) throw bad("a live flag is neither 0 nor 1");
    if (a.live[d]) {
      ++index->live_count_;
      index->total_length_[0] += a.doc_lengths[2 * d];
      index->total_length_[1] += a.doc_lengths[2 * d + 1];
    }
  }
  index->keep_alive_ = std::move(keep_alive);
  index->RefreshNorms();
  return index;
}

std::uint64_t InvertedIndex::document_count() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return live_.size();
}
std::uint64_t InvertedIndex::live_count() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return live_count_;
}
std::uint64_t InvertedIndex::term_count() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return postings_.size();
}
std::uint64_t InvertedIndex::total_length(int field) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return total_length_[field == 0 ? 0 : 1];
}
std::vector<std::uint32_t> InvertedIndex::LiveDocuments() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  std::vector<std::uint32_t> out;
  out.reserve(live_count_);
  for (std::uint32_t d = 0; d < live_.size(); ++d) {
    if (live_[d]) out.push_back(d);
  }
  return out;
}
bool InvertedIndex::IsLive(std::uint64_t doc) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return doc < live_.size() && live_[doc];
}
std::uint32_t InvertedIndex::DocumentFrequency(std::string_view term) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  const std::uint32_t id = FindTerm(term);
  return id == kNoTerm ? 0 : df_[id];
}
std::uint32_t InvertedIndex::DocumentLength(std::uint64_t doc, int field) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  if (doc >= live_.size() || !live_[doc]) throw UnknownDocument(doc);
  return doc_lengths_[2 * doc + (field == 0 ? 0 : 1)];
}

}  // namespace lumo::index
