#pragma once

// The property of the index loader's fuzz target, shared with the replay test of its corpus:
// arbitrary bytes as the files of a saved-index directory (commit file included) either load or
// are refused with CorruptIndex, FileError or InvalidArgument, and an index that loads answers
// searches, exports vectors, takes a removal and an addition, saves over the directory and
// loads again, without an out-of-range access and with finite, non-negative scores and values.
//
// Input layout: one flag byte (bit 0: verify checksums on load; bit 1: seal the commit file, that
// is rewrite its checksum line to match, so that inputs get past it to the fields behind), then
// files one after the other: a name-length byte, the name, a little-endian 32-bit size and the
// bytes (cut short at the input's end). Names that are not plain file names are skipped.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "FuzzChecks.h"
#include "index/CommitFile.h"
#include "index/Errors.h"
#include "index/IndexDirectory.h"
#include "index/IndexFiles.h"
#include "index/InvertedIndex.h"

namespace lumo::fuzz {

// The files of an input, each in its own 8-byte-aligned buffer (mapped files are page-aligned).
struct FuzzIndexFiles {
  std::vector<std::vector<std::uint64_t>> storage;
  index::IndexFileBytes bytes;
};

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
    index::AnalyzerSettings settings;
    settings.bigram_weight = 0.5f;
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

// A directory for the files of one input at a time, one per process, removed at exit; memory
// backed where there is one, since every input is written out.
class IndexScratch {
 public:
  static IndexScratch& Get() {
    static IndexScratch scratch;
    return scratch;
  }
  const std::string& path() const { return path_; }
  void Clear() const {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(path_, ignored)) {
      std::filesystem::remove_all(entry.path(), ignored);
    }
  }

 private:
  IndexScratch() {
    std::error_code error;
    const std::filesystem::path base =
        std::filesystem::is_directory("/dev/shm", error) ? "/dev/shm" : std::filesystem::temp_directory_path();
    std::string pattern = (base / "lumotext-index-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a scratch directory");
    path_ = pattern;
  }
  ~IndexScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string path_;
};

// Writes the input's files into the scratch directory; returns the flag byte.
inline std::uint8_t WriteIndexInput(const std::string& input, const std::string& dir) {
  const std::uint8_t flags = input.empty() ? 0 : static_cast<std::uint8_t>(input[0]);
  std::size_t at = 1;
  for (int files = 0; at < input.size() && files < 32; ++files) {
    const std::size_t name_size = static_cast<std::uint8_t>(input[at++]);
    const std::string name = input.substr(at, name_size);
    at = std::min(input.size(), at + name_size);
    std::uint32_t size = 0;
    if (input.size() - at >= 4) std::memcpy(&size, input.data() + at, 4);
    at = std::min(input.size(), at + 4);
    std::string bytes = input.substr(at, size);
    at = std::min(input.size(), at + bytes.size());
    if (name.empty() || name == "." || name == ".." || name.find_first_of(std::string("/\0", 2)) != std::string::npos) {
      continue;
    }
    if ((flags & 2) != 0 && name == index::kCommitFileName) {
      const std::size_t line = bytes.rfind("checksum ");
      if (line != std::string::npos) bytes = bytes.substr(0, line) + index::CommitChecksumLine(bytes.substr(0, line));
    }
    std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  return flags;
}

inline void RequireWorkingIndex(index::InvertedIndex& loaded) {
  const std::uint64_t n_docs = loaded.document_count();
  Require(loaded.live_count() <= n_docs, "more live documents than documents");
  const index::IndexSnapshot snapshot = loaded.Snapshot();
  for (std::size_t t = 0; t < snapshot.term_order.size() && t < 16; ++t) {
    const std::uint32_t id = snapshot.term_order[t];
    const std::string term =
        snapshot.term_text.substr(snapshot.term_offsets[id], snapshot.term_offsets[id + 1] - snapshot.term_offsets[id]);
    RequireSaneResults(loaded.SearchTerms({term, term}, 5, 0.5f), n_docs);
  }
  const index::SparseRows rows = loaded.DocumentVectors(0, n_docs);
  Require(rows.row_starts.size() == rows.rows.size() + 1, "vector rows and starts disagree");
  for (std::size_t r = 0; r < rows.rows.size(); ++r) {
    for (std::uint64_t j = rows.row_starts[r]; j < rows.row_starts[r + 1]; ++j) {
      Require(j < rows.values.size(), "a vector entry beyond the values");
      Require(std::isfinite(rows.values[j]) && rows.values[j] >= 0, "a vector value that is not finite and >= 0");
      if (j > rows.row_starts[r]) Require(rows.indices[j - 1] < rows.indices[j], "vector indices not ascending");
    }
  }
  const std::vector<std::uint32_t> live = loaded.LiveDocuments();
  if (!live.empty()) loaded.Remove({live.front()});
  loaded.Add({"\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba ab"}, *FuzzAnalyzer(), 1);
  RequireSaneResults(loaded.Search("\xe4\xb8\xad\xe5\x9b\xbd ab", *FuzzAnalyzer(), 10), loaded.document_count());
}

inline void CheckIndexLoad(const std::string& input) {
  const IndexScratch& scratch = IndexScratch::Get();
  scratch.Clear();
  const std::uint8_t flags = WriteIndexInput(input, scratch.path());
  std::unique_ptr<index::InvertedIndex> loaded;
  index::IndexSettings settings;
  try {
    const index::LoadedIndexDirectory directory = index::LoadIndexDirectory(scratch.path(), (flags & 1) != 0);
    settings = directory.settings;
    loaded = index::InvertedIndex::FromCommitPayload(directory.payload, settings.k1, settings.b);
  } catch (const index::CorruptIndex&) {
    return;
  } catch (const index::FileError&) {
    return;
  }
  RequireWorkingIndex(*loaded);
  // What a loaded index saves (over the files it maps) loads again.
  try {
    index::SaveIndexDirectory(scratch.path(), settings, loaded->ToCommitPayload());
    const index::LoadedIndexDirectory again = index::LoadIndexDirectory(scratch.path(), true);
    const auto reloaded = index::InvertedIndex::FromCommitPayload(again.payload, settings.k1, settings.b);
    Require(reloaded->live_count() == loaded->live_count(), "a saved and loaded index lost documents");
    Require(again.settings.analyzer_json == settings.analyzer_json, "a saved and loaded index lost its settings");
  } catch (const std::runtime_error& e) {
    throw CheckFailure(std::string("what a loaded index saves does not load: ") + e.what());
  }
}

}  // namespace lumo::fuzz
