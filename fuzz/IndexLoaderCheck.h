// The property of the index loader's fuzz target, shared with the replay test of its corpus:
// arbitrary bytes as an engine payload (its description and named files) either load or are
// refused with CorruptIndex, and an index that loads answers searches, exports vectors, takes a
// removal and an addition, and gives a payload that loads again, without an out-of-range access
// and with finite, non-negative scores and values.
//
// Input layout: a little-endian u32 size and the engine description; then files, each a u8 name
// size, the name, a u32 size and the bytes (a file past the end of the input is cut short).
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "FuzzChecks.h"
#include "index/CommitPayload.h"
#include "index/InvertedIndex.h"

namespace lumo::fuzz {

// A payload whose files each sit in their own 8-byte-aligned buffer (mapped files are
// page-aligned).
struct FuzzPayload {
  std::shared_ptr<std::vector<std::vector<std::uint64_t>>> storage =
      std::make_shared<std::vector<std::vector<std::uint64_t>>>();
  index::OpenedPayload opened;
};

inline void AddFuzzFile(FuzzPayload& out, const std::string& name, const char* data, std::size_t n) {
  out.storage->emplace_back((n + 7) / 8 + 1, 0);
  if (n > 0) std::memcpy(out.storage->back().data(), data, n);
  out.opened.files[name] = std::string_view(reinterpret_cast<const char*>(out.storage->back().data()), n);
}

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
    AddFuzzFile(out, name, bytes.data(), bytes.size());
  }
  out.opened.owner = out.storage;
  return out;
}

// The input that SplitPayloadInput turns into `payload` (for seeds and round trips).
inline std::string PayloadInput(const index::CommitPayload& payload) {
  std::string out;
  auto number = [&](std::uint32_t value, std::size_t bytes) {
    out.append(reinterpret_cast<const char*>(&value), bytes);
  };
  number(static_cast<std::uint32_t>(payload.engine_json.size()), 4);
  out += payload.engine_json;
  for (const auto& [name, bytes] : payload.files) {
    number(static_cast<std::uint32_t>(name.size()), 1);
    out += name;
    number(static_cast<std::uint32_t>(bytes->size()), 4);
    out += *bytes;
  }
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

inline void CheckIndexLoad(const std::string& input) {
  const FuzzPayload payload = SplitPayloadInput(input);
  std::unique_ptr<index::InvertedIndex> loaded;
  try {
    loaded = index::InvertedIndex::FromCommitPayload(payload.opened, 1.2, 0.75);
  } catch (const index::CorruptIndex&) {
    return;
  }
  const std::uint64_t n_docs = loaded->document_count();
  Require(loaded->live_count() <= n_docs, "more live documents than documents");
  for (const char* term : {"\xe4\xb8\xad\xe5\x9b\xbd", "ab", "\x01\xe4\xb8\xad\xe5\x9b\xbd"}) {
    RequireSaneResults(loaded->SearchTerms({term, term, "ab"}, 5, 0.5f), n_docs);
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
  const FuzzPayload again = SplitPayloadInput(PayloadInput(loaded->ToCommitPayload()));
  try {
    const auto reloaded = index::InvertedIndex::FromCommitPayload(again.opened, 1.2, 0.75);
    Require(reloaded->live_count() == loaded->live_count(), "a saved and loaded index lost documents");
  } catch (const index::CorruptIndex& e) {
    throw CheckFailure(std::string("what a loaded index saves does not load: ") + e.what());
  }
}

}  // namespace lumo::fuzz
