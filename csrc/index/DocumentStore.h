#pragma once

// The stored documents of one segment: each document's text, the caller's id and a metadata
// JSON text (passed through, never parsed here), for the segment's local numbers
// [0, doc_count). One immutable byte string, built in memory or mapped from its file:
//
//   header      StoreHeader
//   block_docs  u32[block_count + 1]   first local document of each block, then doc_count
//   block_ends  u64[block_count]       end of each block's compressed bytes within `data`
//   id_docs     u32[id_count]          local documents with an id, ascending by id bytes
//   id_ends     u64[id_count]          end of each id within `id_text`
//   id_text     the ids, concatenated in that order (then padding to 8 bytes)
//   data        the blocks, each one zstd frame
//
// A block holds whole documents, about kStoreBlockBytes of them before compression (at least
// one): per document a varint of (text length + 1; 0 for a document without a record, such as
// one removed before a merge), then with a record varints of the id and metadata lengths and
// the three byte strings. The id table answers lookups by id without decompressing anything.
//
// Nothing read from the bytes is trusted: the header is checked against the size when the store
// is opened, offsets and lengths where they are used, so damaged bytes give CorruptIndex, never
// a read outside them or an allocation larger than a block's stated size allows.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace lumo::index {

// Raw bytes per block: larger blocks compress better, smaller ones cost less per lookup.
inline constexpr std::size_t kStoreBlockBytes = 32 * 1024;
// Largest decompressed block accepted when reading (a document longer than this is refused
// when it is added, so a stored block never exceeds it).
inline constexpr std::size_t kLargestStoredBlock = std::size_t{1} << 31;

struct StoredDocument {
  std::string text;
  std::string id;        // empty: none
  std::string metadata;  // JSON object text; empty: none
};

class DocumentStoreBuilder {
 public:
  DocumentStoreBuilder() = default;
  // The next local document. InvalidArgument for a document whose record reaches
  // kLargestStoredBlock.
  void Add(std::string_view text, std::string_view id, std::string_view metadata);
  // The next local document has no record.
  void AddAbsent();
  std::shared_ptr<const std::string> Finish();

 private:
  void FlushBlock();

  std::uint32_t doc_count_ = 0;
  std::vector<std::uint32_t> block_docs_;
  std::vector<std::uint64_t> block_ends_;
  std::string raw_;  // the current block, uncompressed
  std::string data_;
  std::vector<std::pair<std::string, std::uint32_t>> ids_;
};

class DocumentStore {
 public:
  // CorruptIndex when the header does not describe `bytes` exactly.
  DocumentStore(std::string_view bytes, std::shared_ptr<const void> owner);

  std::uint32_t doc_count() const { return doc_count_; }
  std::string_view bytes() const { return bytes_; }
  const std::shared_ptr<const void>& owner() const { return owner_; }

  // The record of `local` into `out`; false for a document without one.
  bool Get(std::uint32_t local, StoredDocument& out) const;
  // Calls f(local, record or null) for every document, ascending, decompressing each block once.
  template <class F>
  void ForEach(F&& f) const;
  // Appends the local documents whose id is `id` (empty: none).
  void FindId(std::string_view id, std::vector<std::uint32_t>& out) const;

 private:
  std::string Block(std::uint64_t block) const;
  // Reads the record at `at` in `raw`, advancing `at`; false for a document without one.
  static bool ReadRecord(std::string_view raw, std::size_t& at, StoredDocument& out);
  std::string_view IdAt(std::uint64_t i) const;

  std::string_view bytes_;
  std::shared_ptr<const void> owner_;
  std::uint32_t doc_count_ = 0;
  std::uint64_t block_count_ = 0;
  std::uint64_t id_count_ = 0;
  const unsigned char* block_docs_ = nullptr;
  const unsigned char* block_ends_ = nullptr;
  const unsigned char* id_docs_ = nullptr;
  const unsigned char* id_ends_ = nullptr;
  std::string_view id_text_;
  std::string_view data_;
};

template <class F>
void DocumentStore::ForEach(F&& f) const {
  StoredDocument record;
  std::uint32_t local = 0;
  for (std::uint64_t block = 0; block < block_count_; ++block) {
    const std::string raw = Block(block);
    std::size_t at = 0;
    std::uint32_t end = 0;
    std::memcpy(&end, block_docs_ + 4 * (block + 1), 4);
    for (; local < end; ++local) f(local, ReadRecord(raw, at, record) ? &record : nullptr);
  }
}

}  // namespace lumo::index
