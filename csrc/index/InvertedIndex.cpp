#include "index/InvertedIndex.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "index/IndexState.h"
#include "index/Parallel.h"

namespace lumo::index {
namespace {

constexpr std::size_t kMergeFactor = 4;
// A segment is rewritten without its removed documents once they are this share of it.
constexpr double kExpungeShare = 0.3;
constexpr std::size_t kExpungeLeast = 64;

}  // namespace

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
    std::size_t unknown_terms = 0;  // at most this many new terms (one may recur in several documents)
    for (const DocTerms& terms : analyzed) unknown_terms += terms.unknown.size();
    std::vector<std::uint32_t> slots = lexicon_.SlotsWithRoomFor(unknown_terms);
    CheckCancel(cancel);
    {
      std::unique_lock<std::shared_mutex> lock(mutex_);
      lexicon_.InstallSlots(std::move(slots));
      std::size_t interned = 0;
      for (std::size_t i = 0; i < analyzed.size(); ++i) {
        DocTerms& terms = analyzed[i];
        for (const auto& [id, tf] : terms.known) postings.push_back({id, static_cast<std::uint32_t>(i), tf});
        std::size_t start = 0;
        for (const auto& [end, tf] : terms.unknown) {
          if ((++interned & 0x3FFF) == 0) {
            CheckCancel(cancel);
            // Searches get their turn: millions of new terms take a second. Every state between
            // two terms is sound for them (a new term has no postings yet, so it matches nothing).
            lock.unlock();
            std::this_thread::yield();
            lock.lock();
          }
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
