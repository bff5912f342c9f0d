#pragma once

// An immutable segment: the postings of a run of document numbers [base, base + doc_count),
// stored as one byte string that is either built in memory or mapped from its file.
//
//   header     SegmentHeader
//   terms      TermEntry[term_count] (16 bytes each), ascending term id
//   blocks     BlockMeta[block_count] (16 bytes each; then padding to 8 bytes)
//   words      u32[word_count]: per block the bit-packed document gaps, then the packed tf - 1
//   lengths    terms per document, words then bigrams: u64 widths (bits 0-7 the words' width
//              w0, bits 8-15 the bigrams' w1, at most 32 each), then u64 words holding for
//              each document its word count in w0 bits and its bigram count in w1 bits, lowest
//              bits first (a width is that of the segment's largest count)
//
// Segments of the earlier layouts, with 24-byte term entries and block headers ("LMUSEG02",
// and "LMUSEG01" whose lengths are u32[2 * doc_count] besides), are converted to this one in
// memory when opened, so every reader sees one layout; the next save writes them in it.
//
// A term's postings are blocks of kBlockSize documents (the last one shorter), ascending
// local document numbers (document number minus base). Each block records its last document
// and, for a score bound that holds whatever the average length, its largest term frequency
// and smallest document length in the term's field. A term held by one document stores that
// posting in its entry, with no block.
//
// Nothing read from the bytes is trusted: counts are checked against the size when the
// segment is opened (constant time), everything else where it is used, so damaged bytes give
// wrong scores but never a read outside them.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "index/Lexicon.h"

namespace lumo::index {

inline constexpr std::uint32_t kBlockSize = 128;
inline constexpr std::uint32_t kNoDocument = 0xFFFFFFFFu;
// A bound's term frequency at or above this is stored as this, read as "unbounded".
inline constexpr std::uint32_t kSaturatedTf = 0xFFu;
// A bound's length above this is stored as this: still at most the real length, so the bound
// still holds.
inline constexpr std::uint32_t kSaturatedLength = 0xFFFFu;

struct SegmentHeader {
  std::uint64_t magic;
  std::uint64_t doc_count;
  std::uint64_t term_count;
  std::uint64_t block_count;
  std::uint64_t word_count;
  std::uint64_t posting_count;
};

struct TermEntry {
  std::uint32_t id_and_field;  // bits 0-30 the term id, bit 31 its field (0 words, 1 bigrams)
  std::uint32_t df;            // postings, removed documents included
  std::uint32_t first_block;   // with df == 1: the document
  std::uint32_t first_word;    // with df == 1: the term frequency

  std::uint32_t id() const { return id_and_field & kLargestTermId; }
  int field() const { return static_cast<int>(id_and_field >> 31); }
};
static_assert(sizeof(TermEntry) == 16);

// A block's bounds are up to kBoundPairs (tf, length) pairs such that every posting of the
// block has a tf at most and a length at least those of one pair: the score of a pair bounds
// the scores of the postings it covers whatever the average length (the score rises with tf
// and falls with length). The pairs are the block's best postings, merged where there are more.
inline constexpr int kBoundPairs = 3;
struct BlockMeta {
  std::uint32_t last_doc;
  std::uint16_t length[kBoundPairs];  // saturated at kSaturatedLength
  std::uint8_t tf[kBoundPairs];       // 0: no pair; kSaturatedTf: unbounded
  std::uint8_t doc_bits;
  std::uint8_t tf_bits;
  std::uint8_t reserved;
};
static_assert(sizeof(BlockMeta) == 16);

// The postings of one term while a segment is built.
struct TermPostingsInput {
  std::uint32_t id;
  std::uint8_t field;
  std::vector<std::uint32_t> docs;  // local, strictly ascending
  std::vector<std::uint32_t> tfs;   // >= 1
};

// The postings of all terms of a segment while it is built, in flat arrays (a few bytes per
// term, where a TermPostingsInput each costs two allocations): term i has id ids[i], field
// fields[i] and the postings docs/tfs[starts[i], starts[i + 1]).
struct PostingsInput {
  std::vector<std::uint32_t> ids;
  std::vector<std::uint8_t> fields;
  std::vector<std::size_t> starts{0};
  std::vector<std::uint32_t> docs;
  std::vector<std::uint32_t> tfs;
};

// Builds the bytes of a segment; terms ascending by id, `lengths` 2 per document. Throws
// Interrupted once `cancel` is true.
std::shared_ptr<const std::string> BuildSegment(std::uint32_t doc_count, const PostingsInput& terms,
                                                const std::vector<std::uint32_t>& lengths,
                                                const std::atomic<bool>* cancel = nullptr);
std::shared_ptr<const std::string> BuildSegment(std::uint32_t doc_count, const std::vector<TermPostingsInput>& terms,
                                                const std::vector<std::uint32_t>& lengths);

class Segment {
 public:
  // Throws CorruptIndex when the header does not describe `bytes` exactly. A segment of an
  // earlier layout is converted: its bytes and owner are then those of the copy.
  Segment(std::string_view bytes, std::shared_ptr<const void> owner);

  std::uint32_t doc_count() const { return doc_count_; }
  std::uint32_t term_count() const { return term_count_; }
  std::uint64_t posting_count() const { return header_.posting_count; }
  std::size_t byte_size() const { return bytes_.size(); }
  std::string_view bytes() const { return bytes_; }
  const std::shared_ptr<const void>& owner() const { return owner_; }

  // The entry of term `id`, or null.
  const TermEntry* Find(std::uint32_t id) const;
  const TermEntry& entry(std::uint32_t i) const { return terms_[i]; }
  std::uint32_t Length(std::uint32_t local_doc, int field) const { return Lengths(field)(local_doc); }
  // One field's lengths as plain values, for a loop over many documents: the compiler can keep
  // them in registers, which it cannot do with members that the loop's own stores might alias.
  struct LengthColumn {
    const std::uint64_t* words;
    std::uint32_t doc_count;
    unsigned stride;  // bits per document, both fields
    unsigned offset;  // of this field within them
    unsigned width;
    std::uint32_t operator()(std::uint32_t local_doc) const {
      if (local_doc >= doc_count || width == 0) return 0;
      const std::uint64_t bit = std::uint64_t{local_doc} * stride + offset;
      const unsigned shift = static_cast<unsigned>(bit & 63);
      std::uint64_t value = words[bit >> 6] >> shift;
      if (shift + width > 64) value |= words[(bit >> 6) + 1] << (64 - shift);
      return static_cast<std::uint32_t>(value & ((std::uint64_t{1} << width) - 1));
    }
    // A hint that this document's lengths are read soon: one term's documents lie far apart in
    // a large segment, and the hint hides the wait for memory.
    void Prefetch(std::uint32_t local_doc) const {
      if (local_doc < doc_count) __builtin_prefetch(words + ((std::uint64_t{local_doc} * stride + offset) >> 6));
    }
  };
  LengthColumn Lengths(int field) const {
    const auto f = static_cast<unsigned>(field) & 1u;
    return {packed_lengths_, doc_count_, length_bits_[0] + length_bits_[1], f ? length_bits_[0] : 0u, length_bits_[f]};
  }

  // Calls f(bounds) for every block of `entry` (once with the entry's own bounds for a term
  // without blocks).
  template <class F>
  void ForEachBlockBound(const TermEntry& entry, F&& f) const {
    const std::uint64_t blocks = entry.df <= 1 ? 0 : (std::uint64_t{entry.df} + kBlockSize - 1) / kBlockSize;
    if (blocks == 0 || entry.first_block + blocks > header_.block_count) {
      f(EntryBounds(entry));
      return;
    }
    for (std::uint64_t i = 0; i < blocks; ++i) f(blocks_[entry.first_block + i]);
  }
  // The bounds of a term without blocks: its one posting's own (unbounded when damaged).
  BlockMeta EntryBounds(const TermEntry& entry) const;

  // Calls f(local_doc, tf) for every posting of `entry`, ascending.
  template <class F>
  void ForEach(const TermEntry& entry, F&& f) const;

 private:
  friend class PostingCursor;
  std::string_view bytes_;
  std::shared_ptr<const void> owner_;
  SegmentHeader header_{};
  std::uint32_t doc_count_ = 0;
  std::uint32_t term_count_ = 0;
  const TermEntry* terms_ = nullptr;
  const BlockMeta* blocks_ = nullptr;
  const std::uint32_t* words_ = nullptr;
  const std::uint64_t* packed_lengths_ = nullptr;
  unsigned length_bits_[2] = {0, 0};
};

// Walks one term's postings in a segment: Next, Advance (first posting >= a document) and a
// shallow move to the block holding a document, which reads only the block's bounds.
class PostingCursor {
 public:
  PostingCursor() = default;
  void Open(const Segment& segment, const TermEntry& entry);

  std::uint32_t doc() const { return doc_; }  // kNoDocument at the end
  std::uint32_t tf() const { return tfs_[pos_]; }
  // The decoded postings from the current one to its block's end, for tight loops (none at the
  // end); Consume(n) moves past n of them, to the next block when that is all of them.
  std::uint32_t run_length() const { return doc_ == kNoDocument ? 0 : count_ - pos_; }
  const std::uint32_t* run_docs() const { return docs_ + pos_; }
  const std::uint32_t* run_tfs() const { return tfs_ + pos_; }
  void Consume(std::uint32_t n) {
    if (n == 0) return;
    pos_ += n - 1;
    Next();
  }
  // The posting `ahead` places on in the decoded block (the current one past its end).
  std::uint32_t doc_ahead(std::uint32_t ahead) const { return pos_ + ahead < count_ ? docs_[pos_ + ahead] : doc_; }
  void Next() {
    if (doc_ != kNoDocument && ++pos_ < count_) {
      doc_ = docs_[pos_];
      return;
    }
    NextBlock();
  }
  void Advance(std::uint32_t target);
  // Moves the block position (not the current posting) to the block that may hold `target`;
  // false when no block does. Then block_bounds() bound that block.
  bool ShallowAdvance(std::uint32_t target);
  const BlockMeta& block_bounds() const { return meta_; }
  // The last document of the block ShallowAdvance stopped at (kNoDocument-1 at most).
  std::uint32_t block_last_doc() const { return meta_last_doc_; }
  // Changes whenever the block bounds change, so callers can cache what they derive from them.
  std::uint32_t block_position() const { return block_; }
  // After ShallowAdvance: calls f(bounds) for the block it stopped at and each later one that
  // may hold a document up to `last`, without moving or decoding anything.
  template <class F>
  void ForEachBlockUpTo(std::uint32_t last, F&& f) const {
    if (block_count_ == 0) {
      if (doc_ <= last) f(meta_);
      return;
    }
    for (std::uint32_t b = block_; b < block_count_; ++b) {
      f(blocks_[b]);
      if (blocks_[b].last_doc >= last) return;
    }
  }

 private:
  void NextBlock();  // Next past the decoded block's end
  void LoadBlock();
  void MoveToBlock(std::uint32_t block);

  const Segment* segment_ = nullptr;
  const BlockMeta* blocks_ = nullptr;
  std::uint32_t block_ = 0;        // current block (relative to the term)
  std::uint32_t block_count_ = 0;  // blocks of the term
  std::uint32_t df_ = 0;
  std::uint64_t word_ = 0;  // first word of block_
  std::uint32_t decoded_block_ = kNoDocument;
  std::uint32_t expected_ = 0;  // smallest document the next block may start at
  BlockMeta meta_{};
  std::uint32_t meta_last_doc_ = 0;
  std::uint32_t count_ = 0;
  std::uint32_t pos_ = 0;
  std::uint32_t doc_ = kNoDocument;
  std::uint32_t docs_[kBlockSize];
  std::uint32_t tfs_[kBlockSize];
};

template <class F>
void Segment::ForEach(const TermEntry& entry, F&& f) const {
  PostingCursor cursor;
  cursor.Open(*this, entry);
  for (; cursor.doc() != kNoDocument; cursor.Next()) f(cursor.doc(), cursor.tf());
}

}  // namespace lumo::index
