// An index saved by the first format becomes one segment: its eight arrays (IndexFiles.h) are
// checked, read once and re-encoded, its term ids kept. This is the one load that costs time
// in proportion to the postings; the next save writes the segment format.
#include <algorithm>
#include <cstring>

#include "index/EngineDescription.h"
#include "index/IndexFiles.h"
#include "index/InvertedIndex.h"
#include "json/JSON.h"

namespace lumo::index {

namespace {

template <class T>
T At(std::string_view bytes, std::uint64_t i) {
  T value;
  std::memcpy(&value, bytes.data() + i * sizeof(T), sizeof(T));
  return value;
}

}  // namespace

std::unique_ptr<InvertedIndex> InvertedIndex::FromFirstFormat(const OpenedPayload& payload, double k1, double b) {
  auto bad = [](const std::string& why) { return CorruptIndex("damaged index: " + why); };
  std::string_view file[8];
  for (std::size_t i = 0; i < kIndexFileNames.size(); ++i) {
    const auto it = payload.files.find(kIndexFileNames[i]);
    if (it == payload.files.end()) throw bad(std::string("no ") + kIndexFileNames[i]);
    file[i] = it->second;
  }
  const auto& [text, term_offsets, term_order, posting_offsets, posting_docs, posting_tfs, doc_lengths, live] = file;
  if (term_offsets.size() % 8 != 0 || term_offsets.size() < 8 || posting_offsets.size() != term_offsets.size() ||
      term_order.size() * 2 != term_offsets.size() - 8 || posting_docs.size() % 4 != 0 ||
      posting_tfs.size() != posting_docs.size() || doc_lengths.size() != live.size() * 8) {
    throw bad("the sizes of the arrays do not agree");
  }
  const std::uint64_t n_terms = term_offsets.size() / 8 - 1;
  const std::uint64_t n_postings = posting_docs.size() / 4;
  const std::uint64_t n_docs = live.size();
  if (n_terms >= kNoTerm || n_docs > 0xFFFFFFFEu) throw bad("too many terms or documents");
  using typing::text::json::JSON;
  const JSON counts = ParseEngineDescription(payload.engine_json);
  auto count = [&](const char* key) {
    bool ok = false;
    const auto it = counts.Entries().find(key);
    const std::int64_t value = it == counts.Entries().end() ? -1 : it->second.AsInteger(ok);
    if (!ok || value < 0) throw bad(std::string("no count of ") + key);
    return static_cast<std::uint64_t>(value);
  };
  auto index = std::make_unique<InvertedIndex>(k1, b);
  std::vector<std::uint32_t> lengths(2 * n_docs);
  std::vector<std::uint64_t> live_bits((n_docs + 63) / 64, 0);
  std::uint64_t live_count = 0;
  for (std::uint64_t d = 0; d < n_docs; ++d) {
    const auto flag = static_cast<std::uint8_t>(live[d]);
    if (flag > 1) throw bad("a live flag is neither 0 nor 1");
    lengths[2 * d] = At<std::uint32_t>(doc_lengths, 2 * d);
    lengths[2 * d + 1] = At<std::uint32_t>(doc_lengths, 2 * d + 1);
    if (flag == 1) {
      live_bits[d / 64] |= std::uint64_t{1} << (d % 64);
      ++live_count;
    }
  }
  if (count("documents") != n_docs || count("live_documents") != live_count || count("terms") != n_terms) {
    throw bad("its document counts do not match the files");
  }
  if (At<std::uint64_t>(term_offsets, n_terms) != text.size() ||
      At<std::uint64_t>(posting_offsets, n_terms) != n_postings || At<std::uint64_t>(term_offsets, 0) != 0 ||
      At<std::uint64_t>(posting_offsets, 0) != 0) {
    throw bad("the offsets do not span the arrays");
  }
  std::vector<TermPostingsInput> terms;
  for (std::uint64_t t = 0; t < n_terms; ++t) {
    const auto text_begin = At<std::uint64_t>(term_offsets, t), text_end = At<std::uint64_t>(term_offsets, t + 1);
    const auto first = At<std::uint64_t>(posting_offsets, t), last = At<std::uint64_t>(posting_offsets, t + 1);
    if (text_begin > text_end || text_end > text.size() || first > last || last > n_postings) {
      throw bad("the offsets decrease");
    }
    const std::string_view term = text.substr(text_begin, text_end - text_begin);
    if (index->lexicon_.Intern(term) != t) throw bad("a term is saved twice");
    TermPostingsInput input{
        static_cast<std::uint32_t>(t), static_cast<std::uint8_t>(IsBigramTerm(term) ? 1 : 0), {}, {}};
    for (std::uint64_t i = first; i < last; ++i) {
      const auto doc = At<std::uint32_t>(posting_docs, i);
      const auto tf = At<std::uint32_t>(posting_tfs, i);
      // Taken in strictly ascending order only, as saved, and only for live documents.
      if (doc >= n_docs || (!input.docs.empty() && doc <= input.docs.back()) || tf == 0) continue;
      if (((live_bits[doc / 64] >> (doc % 64)) & 1) == 0) continue;
      input.docs.push_back(doc);
      input.tfs.push_back(tf);
    }
    if (!input.docs.empty()) terms.push_back(std::move(input));
  }
  index->document_count_ = n_docs;
  if (n_docs > 0) index->AppendSegment(static_cast<std::uint32_t>(n_docs), terms, lengths, std::move(live_bits));
  return index;
}

}  // namespace lumo::index
