#include "index/DocumentStore.h"

#include <zstd.h>

#include <algorithm>
#include <memory>
#include <new>

#include "index/Errors.h"

namespace lumo::index {

namespace {

constexpr std::uint64_t kStoreMagic = 0x3130534F444D4D4CULL;  // "LMMDOS01"
// With 32 KiB blocks (bench/store_cost.py): 0.42 of bench-zh's lines and 0.52 of CMRC's
// passages as UTF-8.
constexpr int kCompressionLevel = 7;

struct StoreHeader {
  std::uint64_t magic;
  std::uint64_t doc_count;
  std::uint64_t block_count;
  std::uint64_t id_count;
  std::uint64_t id_text_bytes;
  std::uint64_t data_bytes;
};

std::uint64_t Padded8(std::uint64_t bytes) { return (bytes + 7) / 8 * 8; }

// One context per thread, reused for every block: making one per call (as ZSTD_compress and
// ZSTD_decompress do) cost more than the work itself for the small blocks of one-document adds
// and their merges (half of their time, measured with perf). The bytes written are the same.
ZSTD_CCtx* ThreadCompressor() {
  thread_local const std::unique_ptr<ZSTD_CCtx, std::size_t (*)(ZSTD_CCtx*)> context(ZSTD_createCCtx(), ZSTD_freeCCtx);
  if (context == nullptr) throw std::bad_alloc();
  return context.get();
}

ZSTD_DCtx* ThreadDecompressor() {
  thread_local const std::unique_ptr<ZSTD_DCtx, std::size_t (*)(ZSTD_DCtx*)> context(ZSTD_createDCtx(), ZSTD_freeDCtx);
  if (context == nullptr) throw std::bad_alloc();
  return context.get();
}

void PutVarint(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>((value & 0x7F) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

bool GetVarint(std::string_view in, std::size_t& at, std::uint64_t& value) {
  value = 0;
  for (int shift = 0; shift < 64 && at < in.size(); shift += 7) {
    const auto byte = static_cast<unsigned char>(in[at++]);
    value |= std::uint64_t{byte & 0x7Fu} << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

template <class T>
T Read(const unsigned char* base, std::uint64_t i) {
  T value;
  std::memcpy(&value, base + i * sizeof(T), sizeof(T));
  return value;
}

template <class T>
void Append(std::string& out, const std::vector<T>& values) {
  out.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
  out.resize(Padded8(out.size()), '\0');
}

CorruptIndex Damaged(const std::string& why) { return CorruptIndex("damaged index: stored documents " + why); }

}  // namespace

void DocumentStoreBuilder::Add(std::string_view text, std::string_view id, std::string_view metadata) {
  // The 32 bytes leave room for the three length varints.
  if (text.size() + id.size() + metadata.size() + 32 >= kLargestStoredBlock) {
    throw InvalidArgument("a stored document (text, id and metadata) must be shorter than 2 GiB");
  }
  if (!raw_.empty() && raw_.size() + text.size() + id.size() + metadata.size() > kStoreBlockBytes) FlushBlock();
  PutVarint(raw_, text.size() + 1);
  PutVarint(raw_, id.size());
  PutVarint(raw_, metadata.size());
  raw_.append(text);
  raw_.append(id);
  raw_.append(metadata);
  if (!id.empty()) ids_.emplace_back(std::string(id), doc_count_);
  ++doc_count_;
}

void DocumentStoreBuilder::AddAbsent() {
  PutVarint(raw_, 0);
  ++doc_count_;
}

void DocumentStoreBuilder::FlushBlock() {
  if (raw_.empty()) return;
  const std::size_t bound = ZSTD_compressBound(raw_.size());
  const std::size_t at = data_.size();
  data_.resize(at + bound);
  const std::size_t written =
      ZSTD_compressCCtx(ThreadCompressor(), data_.data() + at, bound, raw_.data(), raw_.size(), kCompressionLevel);
  if (ZSTD_isError(written)) throw std::bad_alloc();  // with a large enough buffer, its only failure
  data_.resize(at + written);
  block_ends_.push_back(data_.size());
  block_docs_.push_back(doc_count_);  // the end of this block: the next block's first document
  raw_.clear();
}

std::shared_ptr<const std::string> DocumentStoreBuilder::Finish() {
  FlushBlock();
  std::vector<std::uint32_t> docs{0};
  docs.insert(docs.end(), block_docs_.begin(), block_docs_.end());
  std::sort(ids_.begin(), ids_.end());
  std::vector<std::uint32_t> id_docs;
  std::vector<std::uint64_t> id_ends;
  std::string id_text;
  for (const auto& [id, doc] : ids_) {
    id_text += id;
    id_docs.push_back(doc);
    id_ends.push_back(id_text.size());
  }
  StoreHeader header{kStoreMagic, doc_count_, block_ends_.size(), id_docs.size(), id_text.size(), data_.size()};
  auto out = std::make_shared<std::string>();
  out->append(reinterpret_cast<const char*>(&header), sizeof(header));
  Append(*out, docs);
  Append(*out, block_ends_);
  Append(*out, id_docs);
  Append(*out, id_ends);
  out->append(id_text);
  out->resize(Padded8(out->size()), '\0');
  out->append(data_);
  return out;
}

DocumentStore::DocumentStore(std::string_view bytes, std::shared_ptr<const void> owner)
    : bytes_(bytes), owner_(std::move(owner)) {
  StoreHeader header{};
  if (bytes.size() < sizeof(header)) throw Damaged("are shorter than their header");
  std::memcpy(&header, bytes.data(), sizeof(header));
  if (header.magic != kStoreMagic) throw Damaged("do not start as a document store");
  // Every count is bounded by the size before any product is formed, so nothing overflows.
  const std::uint64_t size = bytes.size();
  if (header.doc_count > 0xFFFFFFFEu || header.block_count > size || header.id_count > size ||
      header.id_text_bytes > size || header.data_bytes > size || header.block_count > header.doc_count ||
      header.id_count > header.doc_count) {
    throw Damaged("have counts their size cannot hold");
  }
  const std::uint64_t docs_at = sizeof(header);
  const std::uint64_t ends_at = docs_at + Padded8(4 * (header.block_count + 1));
  const std::uint64_t id_docs_at = ends_at + 8 * header.block_count;
  const std::uint64_t id_ends_at = id_docs_at + Padded8(4 * header.id_count);
  const std::uint64_t id_text_at = id_ends_at + 8 * header.id_count;
  const std::uint64_t data_at = id_text_at + Padded8(header.id_text_bytes);
  if (data_at + header.data_bytes != size) throw Damaged("are not the size their header gives");
  const auto* base = reinterpret_cast<const unsigned char*>(bytes.data());
  doc_count_ = static_cast<std::uint32_t>(header.doc_count);
  block_count_ = header.block_count;
  id_count_ = header.id_count;
  block_docs_ = base + docs_at;
  block_ends_ = base + ends_at;
  id_docs_ = base + id_docs_at;
  id_ends_ = base + id_ends_at;
  id_text_ = bytes.substr(id_text_at, header.id_text_bytes);
  data_ = bytes.substr(data_at, header.data_bytes);
  // The block tables are small (one entry per block): checked whole, so lookups can trust them.
  if (Read<std::uint32_t>(block_docs_, 0) != 0 || Read<std::uint32_t>(block_docs_, block_count_) != doc_count_) {
    throw Damaged("do not cover their documents");
  }
  std::uint64_t previous_end = 0;
  for (std::uint64_t i = 0; i < block_count_; ++i) {
    const std::uint64_t end = Read<std::uint64_t>(block_ends_, i);
    if (Read<std::uint32_t>(block_docs_, i + 1) <= Read<std::uint32_t>(block_docs_, i) || end <= previous_end ||
        end > data_.size()) {
      throw Damaged("have a block table out of order");
    }
    previous_end = end;
  }
  if (previous_end != data_.size()) throw Damaged("have bytes past their last block");
}

std::string DocumentStore::Block(std::uint64_t block) const {
  const std::uint64_t begin = block == 0 ? 0 : Read<std::uint64_t>(block_ends_, block - 1);
  const std::uint64_t end = Read<std::uint64_t>(block_ends_, block);
  const char* frame = data_.data() + begin;
  const unsigned long long raw_size = ZSTD_getFrameContentSize(frame, end - begin);
  if (raw_size == ZSTD_CONTENTSIZE_ERROR || raw_size == ZSTD_CONTENTSIZE_UNKNOWN || raw_size > kLargestStoredBlock) {
    throw Damaged("hold a block that is not a zstd frame of a known size");
  }
  std::string raw(static_cast<std::size_t>(raw_size), '\0');
  const std::size_t got = ZSTD_decompressDCtx(ThreadDecompressor(), raw.data(), raw.size(), frame, end - begin);
  if (ZSTD_isError(got) || got != raw.size()) throw Damaged("hold a block that does not decompress");
  return raw;
}

bool DocumentStore::ReadRecord(std::string_view raw, std::size_t& at, StoredDocument& out) {
  std::uint64_t text_size = 0, id_size = 0, metadata_size = 0;
  if (!GetVarint(raw, at, text_size)) throw Damaged("hold a record cut short");
  if (text_size == 0) return false;
  --text_size;
  if (!GetVarint(raw, at, id_size) || !GetVarint(raw, at, metadata_size)) throw Damaged("hold a record cut short");
  const std::uint64_t left = raw.size() - at;
  if (text_size > left || id_size > left - text_size || metadata_size > left - text_size - id_size) {
    throw Damaged("hold a record longer than its block");
  }
  out.text.assign(raw.substr(at, text_size));
  out.id.assign(raw.substr(at + text_size, id_size));
  out.metadata.assign(raw.substr(at + text_size + id_size, metadata_size));
  at += text_size + id_size + metadata_size;
  return true;
}

bool DocumentStore::Get(std::uint32_t local, StoredDocument& out) const {
  if (local >= doc_count_) return false;
  // The block whose first document is the last one at or before `local`.
  std::uint64_t low = 0, high = block_count_;
  while (high - low > 1) {
    const std::uint64_t mid = (low + high) / 2;
    if (Read<std::uint32_t>(block_docs_, mid) <= local) {
      low = mid;
    } else {
      high = mid;
    }
  }
  const std::string raw = Block(low);
  std::size_t at = 0;
  bool present = false;
  for (std::uint32_t doc = Read<std::uint32_t>(block_docs_, low); doc <= local; ++doc) {
    present = ReadRecord(raw, at, out);
  }
  return present;
}

std::string_view DocumentStore::IdAt(std::uint64_t i) const {
  const std::uint64_t begin = i == 0 ? 0 : Read<std::uint64_t>(id_ends_, i - 1);
  const std::uint64_t end = Read<std::uint64_t>(id_ends_, i);
  if (begin > end || end > id_text_.size()) throw Damaged("have an id table out of order");
  return id_text_.substr(begin, end - begin);
}

void DocumentStore::FindId(std::string_view id, std::vector<std::uint32_t>& out) const {
  if (id.empty()) return;
  std::uint64_t low = 0, high = id_count_;  // first position whose id is not less than `id`
  while (low < high) {
    const std::uint64_t mid = (low + high) / 2;
    if (IdAt(mid) < id) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  for (; low < id_count_ && IdAt(low) == id; ++low) {
    const auto doc = Read<std::uint32_t>(id_docs_, low);
    if (doc < doc_count_) out.push_back(doc);
  }
}

}  // namespace lumo::index
