#pragma once

// The property of the index loader's fuzz target, shared with the replay test of its corpus:
// arbitrary bytes as the eight files of a saved index either load or are refused with
// std::invalid_argument, and an index that loads answers searches, exports vectors, takes a
// removal and an addition, and saves again, without an out-of-range access and with finite,
// non-negative scores and values.
//
// Input layout: eight little-endian 32-bit sizes, then the files' bytes one after the other (a
// file past the end of the input is cut short).
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "FuzzChecks.h"
#include "index/IndexFiles.h"
#include "index/InvertedIndex.h"

namespace lumo::fuzz {

// The files of an input, each in its own 8-byte-aligned buffer (mapped files are page-aligned).
struct FuzzIndexFiles {
  std::vector<std::vector<std::uint64_t>> storage;
  index::IndexFileBytes bytes;
};

inline FuzzIndexFiles SplitIndexInput(const std::string& input) {
  FuzzIndexFiles out;
  out.storage.reserve(8);
  std::size_t at = 8 * 4;
  for (std::size_t i = 0; i < 8; ++i) {
    std::uint32_t size = 0;
    if (input.size() >= 4 * (i + 1)) std::memcpy(&size, input.data() + 4 * i, 4);
    const std::size_t available = at < input.size() ? input.size() - at : 0;
    const std::size_t n = std::min<std::size_t>(size, available);
    out.storage.emplace_back((n + 7) / 8 + 1, 0);
    if (n > 0) std::memcpy(out.storage.back().data(), input.data() + at, n);
    out.bytes.files[i] = std::string_view(reinterpret_cast<const char*>(out.storage.back().data()), n);
    at += n;
  }
  return out;
}

template <class T>
inline void AddFile(FuzzIndexFiles& out, std::size_t i, const T* data, std::size_t count) {
  const std::size_t n = count * sizeof(T);
  out.storage.emplace_back((n + 7) / 8 + 1, 0);
  if (n > 0) std::memcpy(out.storage.back().data(), data, n);
  out.bytes.files[i] = std::string_view(reinterpret_cast<const char*>(out.storage.back().data()), n);
}

// The files a snapshot saves, as buffers that IndexFromFiles takes.
inline FuzzIndexFiles SnapshotFiles(const index::IndexSnapshot& s) {
  FuzzIndexFiles out;
  out.storage.reserve(8);
  AddFile(out, 0, s.term_text.data(), s.term_text.size());
  AddFile(out, 1, s.term_offsets.data(), s.term_offsets.size());
  AddFile(out, 2, s.term_order.data(), s.term_order.size());
  AddFile(out, 3, s.posting_offsets.data(), s.posting_offsets.size());
  AddFile(out, 4, s.posting_docs.data(), s.posting_docs.size());
  AddFile(out, 5, s.posting_tfs.data(), s.posting_tfs.size());
  AddFile(out, 6, s.doc_lengths.data(), s.doc_lengths.size());
  AddFile(out, 7, s.live.data(), s.live.size());
  return out;
}

inline std::shared_ptr<const index::Analyzer> FuzzAnalyzer() {
  static const auto analyzer = [] {
    std::shared_ptr<const jieba::Jieba> segmenter(std::shared_ptr<const jieba::Jieba>(), &SmallTokenizer());
    const index::AnalyzerSettings settings(index::CutMode::kDefault, true, 0.5f, index::kNewestTermRules);
    return std::make_shared<const index::Analyzer>(segmenter, nullptr, std::vector<std::string>{}, settings);
  }();
  return analyzer;
}

inline void RequireSaneResults(const std::vector<index::ScoredDocument>& results, std::uint64_t n_docs) {
  for (std::size_t i = 0; i < results.size(); ++i) {
    Require(results[i].doc < n_docs, "a result beyond the documents");
    Require(std::isfinite(results[i].score) && results[i].score >= 0, "a score that is not finite and >= 0");
    if (i > 0) Require(results[i - 1].score >= results[i].score, "results out of order");
  }
}

inline void CheckIndexLoad(const std::string& input) {
  FuzzIndexFiles files = SplitIndexInput(input);
  std::unique_ptr<index::InvertedIndex> loaded;
  try {
    loaded = index::IndexFromFiles(files.bytes, 1.2, 0.75);
  } catch (const std::invalid_argument&) {
    return;
  }
  const std::uint64_t n_docs = loaded->document_count();
  Require(loaded->live_count() <= n_docs, "more live documents than documents");
  const index::IndexSnapshot snapshot = loaded->Snapshot();
  for (std::size_t t = 0; t < snapshot.term_order.size() && t < 16; ++t) {
    const std::uint32_t id = snapshot.term_order[t];
    const std::string term =
        snapshot.term_text.substr(snapshot.term_offsets[id], snapshot.term_offsets[id + 1] - snapshot.term_offsets[id]);
    RequireSaneResults(loaded->SearchTerms({term, term}, 5, 0.5f), n_docs);
  }
  const index::SparseRows rows = loaded->DocumentVectors(0, n_docs);
  Require(rows.row_starts.size() == rows.rows.size() + 1, "vector rows and starts disagree");
  for (std::size_t r = 0; r < rows.rows.size(); ++r) {
    for (std::uint64_t j = rows.row_starts[r]; j < rows.row_starts[r + 1]; ++j) {
      Require(j < rows.values.size(), "a vector entry beyond the values");
      Require(std::isfinite(rows.values[j]) && rows.values[j] >= 0, "a vector value that is not finite and >= 0");
      if (j > rows.row_starts[r]) Require(rows.indices[j - 1] < rows.indices[j], "vector indices not ascending");
    }
  }
  const std::vector<std::uint32_t> live = loaded->LiveDocuments();
  if (!live.empty()) loaded->Remove({live.front()});
  loaded->Add({"\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba ab"}, *FuzzAnalyzer(), 1);
  RequireSaneResults(loaded->Search("\xe4\xb8\xad\xe5\x9b\xbd ab", *FuzzAnalyzer(), 10), loaded->document_count());
  // What a loaded index saves loads again.
  const FuzzIndexFiles again = SnapshotFiles(loaded->Snapshot());
  try {
    const auto reloaded = index::IndexFromFiles(again.bytes, 1.2, 0.75);
    Require(reloaded->live_count() == loaded->live_count(), "a saved and loaded index lost documents");
  } catch (const std::invalid_argument& e) {
    throw CheckFailure(std::string("what a loaded index saves does not load: ") + e.what());
  }
}

}  // namespace lumo::fuzz
