// The saved form of an InvertedIndex: its eight arrays (IndexFiles.h) as the payload's files,
// and its counts as the engine description, so that a load can check the files against them.
#include <charconv>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>

#include "index/IndexFiles.h"
#include "index/InvertedIndex.h"

namespace lumo::index {
namespace {

template <class T>
std::shared_ptr<const std::string> Bytes(std::vector<T>& v) {
  auto bytes = std::make_shared<std::string>(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
  std::vector<T>().swap(v);  // freed as soon as copied: a save holds one copy of each array at most
  return bytes;
}

std::string Description(std::uint64_t documents, std::uint64_t live, std::uint64_t terms) {
  return "{\"documents\":" + std::to_string(documents) + ",\"live_documents\":" + std::to_string(live) +
         ",\"terms\":" + std::to_string(terms) + "}";
}

// Reads back exactly what Description writes.
bool ParseDescription(const std::string& text, std::uint64_t counts[3]) {
  static const char* const kKeys[3] = {"{\"documents\":", ",\"live_documents\":", ",\"terms\":"};
  const char* p = text.data();
  const char* end = text.data() + text.size();
  for (int i = 0; i < 3; ++i) {
    const std::size_t n = std::strlen(kKeys[i]);
    if (static_cast<std::size_t>(end - p) < n || std::memcmp(p, kKeys[i], n) != 0) return false;
    p += n;
    const auto result = std::from_chars(p, end, counts[i]);
    if (result.ec != std::errc() || result.ptr == p || (*p == '0' && result.ptr - p > 1)) return false;
    p = result.ptr;
  }
  return end - p == 1 && *p == '}';
}

}  // namespace

CommitPayload InvertedIndex::ToCommitPayload() const {
  CommitPayload payload;
  IndexSnapshot s;
  {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    s = SnapshotLocked();
    payload.engine_json = Description(live_.size(), live_count_, postings_.size());
  }
  auto term_text = std::make_shared<std::string>(std::move(s.term_text));
  payload.files = {{kIndexFileNames[0], term_text},
                   {kIndexFileNames[1], Bytes(s.term_offsets)},
                   {kIndexFileNames[2], Bytes(s.term_order)},
                   {kIndexFileNames[3], Bytes(s.posting_offsets)},
                   {kIndexFileNames[4], Bytes(s.posting_docs)},
                   {kIndexFileNames[5], Bytes(s.posting_tfs)},
                   {kIndexFileNames[6], Bytes(s.doc_lengths)},
                   {kIndexFileNames[7], Bytes(s.live)}};
  return payload;
}

std::unique_ptr<InvertedIndex> InvertedIndex::FromCommitPayload(const OpenedPayload& payload, double k1, double b) {
  IndexFileBytes bytes;
  if (payload.files.size() != kIndexFileNames.size()) {
    throw CorruptIndex("damaged index: it does not hold exactly the eight arrays of this index");
  }
  for (std::size_t i = 0; i < kIndexFileNames.size(); ++i) {
    const auto it = payload.files.find(kIndexFileNames[i]);
    if (it == payload.files.end()) throw CorruptIndex(std::string("damaged index: no ") + kIndexFileNames[i]);
    bytes.files[i] = it->second;
  }
  bytes.owner = payload.owner;
  std::uint64_t counts[3];
  if (!ParseDescription(payload.engine_json, counts)) throw CorruptIndex("damaged index: a bad engine description");
  std::unique_ptr<InvertedIndex> index;
  try {
    index = IndexFromFiles(bytes, k1, b);
  } catch (const std::invalid_argument& e) {
    throw CorruptIndex(e.what());
  }
  if (counts[0] != index->document_count() || counts[1] != index->live_count() || counts[2] != index->term_count()) {
    throw CorruptIndex("damaged index: its document counts do not match the files");
  }
  return index;
}

}  // namespace lumo::index
