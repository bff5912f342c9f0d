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
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "FuzzChecks.h"
#include "index/CommitFile.h"
#include "index/Errors.h"
#include "index/IndexDirectory.h"
#include "index/CommitPayload.h"
#include "index/InvertedIndex.h"

namespace lumo::fuzz {

// A payload whose files each sit in their own 8-byte-aligned buffer (mapped files are
// page-aligned), for tests that hand an engine its payload without a directory.
struct FuzzPayload {
  std::shared_ptr<std::vector<std::vector<std::uint64_t>>> storage =
      std::make_shared<std::vector<std::vector<std::uint64_t>>>();
  index::OpenedPayload opened;
};

// Layout: a little-endian u32 size and the engine description; then files, each a u8 name size,
// the name, a u32 size and the bytes (a file past the end of the input is cut short).
inline FuzzPayload SplitPayloadInput(const std::string& input) {
  FuzzPayload out;
  out.storage->reserve(64);
  std::size_t at = 0;
  auto take = [&](std::size_t n) {
    n = std::min(n, input.size() - std::min(at, input.size()));
    std::string part = input.substr(std::min(at, input.size()), n);
    at += n;
    return part;
  };
  auto number = [&](std::size_t bytes) {
    std::uint32_t value = 0;
    const std::string raw = take(bytes);
    std::memcpy(&value, raw.data(), raw.size());
    return value;
  };
  out.opened.engine_json = take(number(4));
  while (at < input.size() && out.storage->size() < 64) {
    const std::string name = take(number(1));
    const std::string bytes = take(number(4));
    out.storage->emplace_back((bytes.size() + 7) / 8 + 1, 0);
    if (!bytes.empty()) std::memcpy(out.storage->back().data(), bytes.data(), bytes.size());
    out.opened.files[name] = std::string_view(reinterpret_cast<const char*>(out.storage->back().data()), bytes.size());
  }
  out.opened.owner = out.storage;
  return out;
}

// The input that SplitPayloadInput turns into `payload`.
inline std::string PayloadInput(const index::CommitPayload& payload) {
  std::string out;
  auto number = [&](std::uint32_t value, std::size_t bytes) {
    out.append(reinterpret_cast<const char*>(&value), bytes);
  };
  number(static_cast<std::uint32_t>(payload.engine_json.size()), 4);
  out += payload.engine_json;
  for (const index::PayloadFile& file : payload.files) {
    number(static_cast<std::uint32_t>(file.name.size()), 1);
    out += file.name;
    number(static_cast<std::uint32_t>(file.bytes.size()), 4);
    out += file.bytes;
  }
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
  for (const char* term : {"\xe4\xb8\xad\xe5\x9b\xbd", "ab", "\x01\xe4\xb8\xad\xe5\x9b\xbd"}) {
    RequireSaneResults(loaded.SearchTerms({term, term, "ab"}, 5, 0.5f), n_docs);
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
  try {
    // Stored records are checked where they are read (here, and by merges that rewrite them):
    // damage is CorruptIndex, never a read outside the bytes.
    for (std::size_t i = 0; loaded.stores_documents() && i < live.size() && i < 64; ++i) loaded.Document(live[i]);
    if (!live.empty()) loaded.Remove({live.front()});
    loaded.Add({"\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba ab"}, *FuzzAnalyzer(), 1);
  } catch (const index::CorruptIndex&) {
    if (!loaded.stores_documents()) throw;
  } catch (const index::InvalidArgument&) {
    // An index whose term ids are nearly all given out refuses new terms; no other does.
    Require(loaded.term_count() + 16 > index::kLargestTermId, "an add refused below the term limit");
  }
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
