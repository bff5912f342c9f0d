// Scoring and search: query terms, the pruned windowed pass over large segments, the plain
// accumulation over small ones, and the vectors of documents and queries.
#include "index/InvertedIndex.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "index/IndexState.h"
#include "index/Parallel.h"

namespace lumo::index {
namespace {

// How many postings ahead a scoring loop asks for a document's lengths.
constexpr std::uint32_t kPrefetchAhead = 16;
// In a window, terms are non-essential only while their bounds sum to less than this share of
// the threshold: candidates then need a larger partial score, and the few left to complete
// cost less than the postings the larger essential set scores (at 1M documents, 26-32-term
// queries: 0.65 is 1.5x faster than 1.0, the plain MaxScore split).
constexpr double kEssentialShare = 0.65;

}  // namespace

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

}  // namespace lumo::index
