#include "index/Segment.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstring>

#include "index/BitPacking.h"
#include "index/Errors.h"

namespace lumo::index {

namespace {

constexpr std::uint64_t kSegmentMagic = 0x3330474553554D4CULL;  // "LMUSEG03": 16-byte entries and headers
// The earlier layouts, converted when opened: 24-byte term entries and block headers, lengths
// packed ("LMUSEG02") or as u32 pairs ("LMUSEG01").
constexpr std::uint64_t kWideEntriesMagic = 0x3230474553554D4CULL;
constexpr std::uint64_t kUnpackedLengthsMagic = 0x3130474553554D4CULL;

struct WideTermEntry {
  std::uint32_t id;
  std::uint32_t df;
  std::uint32_t first_block;
  std::uint32_t first_word;
  std::uint32_t min_length;
  std::uint16_t max_tf;
  std::uint8_t field;
  std::uint8_t reserved;
};
static_assert(sizeof(WideTermEntry) == 24);

struct WideBlockMeta {
  std::uint32_t last_doc;
  std::uint32_t length[kBoundPairs];
  std::uint16_t tf[kBoundPairs];  // 0: no pair; 0xFFFF: unbounded
  std::uint8_t doc_bits;
  std::uint8_t tf_bits;
};
static_assert(sizeof(WideBlockMeta) == 24);

std::uint64_t PackedLengthWords(std::uint64_t doc_count, unsigned bits0, unsigned bits1) {
  return (doc_count * (bits0 + bits1) + 63) / 64;
}

std::uint64_t Padded8(std::uint64_t bytes) { return (bytes + 7) / 8 * 8; }

std::uint8_t SaturatedTf(std::uint32_t tf) { return static_cast<std::uint8_t>(std::min(tf, kSaturatedTf)); }
std::uint16_t SaturatedLength(std::uint32_t length) {
  return static_cast<std::uint16_t>(std::min(length, kSaturatedLength));
}

std::uint32_t BlockPostings(std::uint32_t df, std::uint32_t block, std::uint32_t blocks) {
  return block + 1 < blocks ? kBlockSize : df - kBlockSize * (blocks - 1);
}

// The pairs of a block's bounds: the postings no other one beats in both tf and length, merged
// two neighbours at a time (the larger tf with the smaller length) while there are too many.
void BoundPairs(std::vector<std::pair<std::uint32_t, std::uint32_t>>& postings, BlockMeta& meta) {
  std::sort(postings.begin(), postings.end(), [](const auto& a, const auto& b) {
    return a.first > b.first || (a.first == b.first && a.second < b.second);
  });
  std::vector<std::pair<std::uint32_t, std::uint32_t>> front;
  for (const auto& p : postings) {
    if (front.empty() || p.second < front.back().second) front.push_back(p);
  }
  while (front.size() > static_cast<std::size_t>(kBoundPairs)) {
    std::size_t best = 0;
    for (std::size_t i = 1; i + 1 < front.size(); ++i) {
      if (front[i].first - front[i + 1].first < front[best].first - front[best + 1].first) best = i;
    }
    front[best].second = front[best + 1].second;
    front.erase(front.begin() + static_cast<std::ptrdiff_t>(best) + 1);
  }
  for (std::size_t i = 0; i < front.size(); ++i) {
    meta.tf[i] = SaturatedTf(front[i].first);
    meta.length[i] = SaturatedLength(front[i].second);
  }
}

// The lengths section of a segment: the widths word, then the packed counts.
std::vector<std::uint64_t> PackLengths(std::uint32_t doc_count, const std::vector<std::uint32_t>& lengths) {
  std::uint32_t largest[2] = {0, 0};
  for (std::uint64_t i = 0; i < 2 * std::uint64_t{doc_count}; ++i)
    largest[i & 1] = std::max(largest[i & 1], lengths[i]);
  const unsigned bits[2] = {BitsFor(largest[0]), BitsFor(largest[1])};
  std::vector<std::uint64_t> packed(1 + PackedLengthWords(doc_count, bits[0], bits[1]), 0);
  packed[0] = bits[0] | (bits[1] << 8);
  std::uint64_t bit = 0;
  for (std::uint64_t i = 0; i < 2 * std::uint64_t{doc_count}; ++i) {
    const unsigned width = bits[i & 1];
    if (width == 0) continue;
    const std::uint64_t value = lengths[i];
    packed[1 + (bit >> 6)] |= value << (bit & 63);
    if ((bit & 63) + width > 64) packed[2 + (bit >> 6)] |= value >> (64 - (bit & 63));
    bit += width;
  }
  return packed;
}

// The bytes of a segment from its parts.
std::shared_ptr<const std::string> Assemble(std::uint32_t doc_count, std::uint64_t postings,
                                            const std::vector<TermEntry>& entries, const std::vector<BlockMeta>& blocks,
                                            const std::uint32_t* words, std::uint64_t word_count,
                                            std::string_view lengths_section) {
  SegmentHeader header{kSegmentMagic, doc_count, entries.size(), blocks.size(), word_count, postings};
  const std::uint64_t terms_bytes = entries.size() * sizeof(TermEntry);
  const std::uint64_t blocks_bytes = Padded8(blocks.size() * sizeof(BlockMeta));
  const std::uint64_t words_bytes = Padded8(word_count * 4);
  auto out = std::make_shared<std::string>(
      sizeof(header) + terms_bytes + blocks_bytes + words_bytes + lengths_section.size(), '\0');
  char* at = out->data();
  std::memcpy(at, &header, sizeof(header));
  at += sizeof(header);
  if (!entries.empty()) std::memcpy(at, entries.data(), terms_bytes);
  at += terms_bytes;
  if (!blocks.empty()) std::memcpy(at, blocks.data(), blocks.size() * sizeof(BlockMeta));
  at += blocks_bytes;
  if (word_count != 0) std::memcpy(at, words, word_count * 4);
  at += words_bytes;
  std::memcpy(at, lengths_section.data(), lengths_section.size());
  return out;
}

std::string_view BytesOf(const std::vector<std::uint64_t>& words) {
  return {reinterpret_cast<const char*>(words.data()), words.size() * 8};
}

CorruptIndex Damaged(const char* why) { return CorruptIndex(std::string("damaged index segment: ") + why); }

// A segment of an earlier layout in this one: the same postings words, narrower entries and
// block headers (their bounds saturated, so they still hold), lengths packed. Its counts are
// checked against its size as the current layout's are.
std::shared_ptr<const std::string> ConvertEarlierLayout(std::string_view bytes, const SegmentHeader& header) {
  const bool packed = header.magic == kWideEntriesMagic;
  const std::uint64_t size = bytes.size();
  if (header.doc_count >= kNoDocument || header.term_count > size || header.block_count > size ||
      header.word_count > size) {
    throw Damaged("counts larger than the segment");
  }
  const std::uint64_t terms_at = sizeof(SegmentHeader);
  const std::uint64_t blocks_at = terms_at + header.term_count * sizeof(WideTermEntry);
  const std::uint64_t words_at = blocks_at + Padded8(header.block_count * sizeof(WideBlockMeta));
  const std::uint64_t lengths_at = words_at + Padded8(header.word_count * 4);
  if (lengths_at > size) throw Damaged("its size does not match its counts");
  const auto doc_count = static_cast<std::uint32_t>(header.doc_count);
  // Packed lengths are packed as this layout packs them and are taken over as they stand; u32
  // pairs (their size bounded by the file's) are packed.
  std::string_view lengths_section;
  std::vector<std::uint64_t> packed_pairs;
  if (packed) {
    if (size - lengths_at < 8) throw Damaged("its size does not match its counts");
    std::uint64_t widths = 0;
    std::memcpy(&widths, bytes.data() + lengths_at, 8);
    const unsigned bits[2] = {static_cast<unsigned>(widths & 0xFF), static_cast<unsigned>((widths >> 8) & 0xFF)};
    if (bits[0] > 32 || bits[1] > 32 || (widths >> 16) != 0) throw Damaged("length widths out of range");
    if (lengths_at + 8 + 8 * PackedLengthWords(doc_count, bits[0], bits[1]) != size) {
      throw Damaged("its size does not match its counts");
    }
    lengths_section = bytes.substr(lengths_at);
  } else {
    if (lengths_at + 8 * header.doc_count != size) throw Damaged("its size does not match its counts");
    std::vector<std::uint32_t> lengths(2 * std::size_t{doc_count});
    if (!lengths.empty()) std::memcpy(lengths.data(), bytes.data() + lengths_at, lengths.size() * 4);
    packed_pairs = PackLengths(doc_count, lengths);
    lengths_section = BytesOf(packed_pairs);
  }
  std::vector<TermEntry> entries(static_cast<std::size_t>(header.term_count));
  for (std::size_t t = 0; t < entries.size(); ++t) {
    WideTermEntry wide;
    std::memcpy(&wide, bytes.data() + terms_at + t * sizeof(WideTermEntry), sizeof(wide));
    const std::uint32_t field = wide.field == 1 ? 1u : 0u;
    entries[t] = {(wide.id & kLargestTermId) | (field << 31), wide.df, wide.first_block, wide.first_word};
  }
  std::vector<BlockMeta> blocks(static_cast<std::size_t>(header.block_count));
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    WideBlockMeta wide;
    std::memcpy(&wide, bytes.data() + blocks_at + b * sizeof(WideBlockMeta), sizeof(wide));
    BlockMeta& meta = blocks[b];
    meta.last_doc = wide.last_doc;
    for (int i = 0; i < kBoundPairs; ++i) {
      meta.tf[i] = SaturatedTf(wide.tf[i]);
      meta.length[i] = SaturatedLength(wide.length[i]);
    }
    meta.doc_bits = wide.doc_bits;
    meta.tf_bits = wide.tf_bits;
  }
  std::vector<std::uint32_t> words(static_cast<std::size_t>(header.word_count));
  if (!words.empty()) std::memcpy(words.data(), bytes.data() + words_at, words.size() * 4);
  return Assemble(doc_count, header.posting_count, entries, blocks, words.data(), words.size(), lengths_section);
}

}  // namespace

std::shared_ptr<const std::string> BuildSegment(std::uint32_t doc_count, const std::vector<TermPostingsInput>& terms,
                                                const std::vector<std::uint32_t>& lengths) {
  PostingsInput flat;
  for (const TermPostingsInput& term : terms) {
    flat.ids.push_back(term.id);
    flat.fields.push_back(term.field);
    flat.docs.insert(flat.docs.end(), term.docs.begin(), term.docs.end());
    flat.tfs.insert(flat.tfs.end(), term.tfs.begin(), term.tfs.end());
    flat.starts.push_back(flat.docs.size());
  }
  return BuildSegment(doc_count, flat, lengths);
}

std::shared_ptr<const std::string> BuildSegment(std::uint32_t doc_count, const PostingsInput& terms,
                                                const std::vector<std::uint32_t>& lengths,
                                                const std::atomic<bool>* cancel) {
  std::vector<TermEntry> entries;
  std::vector<BlockMeta> blocks;
  std::vector<std::uint32_t> words;
  entries.reserve(terms.ids.size());
  std::uint64_t postings = 0;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
  std::uint32_t gaps[kBlockSize];
  std::uint32_t tf_minus_one[kBlockSize];
  std::size_t checked_at = 0;  // in terms and postings done, a few milliseconds apart
  for (std::size_t t = 0; t < terms.ids.size(); ++t) {
    if (t + terms.starts[t] - checked_at >= (std::size_t{1} << 18)) {
      CheckCancel(cancel);
      checked_at = t + terms.starts[t];
    }
    const std::uint8_t field = terms.fields[t];
    const std::size_t df = terms.starts[t + 1] - terms.starts[t];
    const std::uint32_t* docs = terms.docs.data() + terms.starts[t];
    const std::uint32_t* tfs = terms.tfs.data() + terms.starts[t];
    if (terms.ids[t] > kLargestTermId) throw InvalidArgument("a term id past the largest a segment holds");
    TermEntry entry{};
    entry.id_and_field = terms.ids[t] | (std::uint32_t{field == 1} << 31);
    entry.df = static_cast<std::uint32_t>(df);
    postings += df;
    if (entry.df == 1) {
      entry.first_block = docs[0];
      entry.first_word = tfs[0];
      entries.push_back(entry);
      continue;
    }
    entry.first_block = static_cast<std::uint32_t>(blocks.size());
    entry.first_word = static_cast<std::uint32_t>(words.size());
    std::uint32_t expected = 0;
    for (std::size_t start = 0; start < df; start += kBlockSize) {
      const std::size_t count = std::min<std::size_t>(kBlockSize, df - start);
      BlockMeta meta{};
      std::uint32_t max_gap = 0, max_tf_minus_one = 0;
      pairs.clear();
      for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t doc = docs[start + i];
        gaps[i] = doc - expected;
        expected = doc + 1;
        tf_minus_one[i] = tfs[start + i] - 1;
        max_gap = std::max(max_gap, gaps[i]);
        max_tf_minus_one = std::max(max_tf_minus_one, tf_minus_one[i]);
        pairs.emplace_back(tfs[start + i], lengths[2 * std::size_t{doc} + field]);
      }
      meta.last_doc = expected - 1;
      BoundPairs(pairs, meta);
      meta.doc_bits = static_cast<std::uint8_t>(BitsFor(max_gap));
      meta.tf_bits = static_cast<std::uint8_t>(BitsFor(max_tf_minus_one));
      const std::size_t at = words.size();
      words.resize(at + PackedWords(count, meta.doc_bits) + PackedWords(count, meta.tf_bits), 0);
      PackBits(gaps, count, meta.doc_bits, words.data() + at);
      PackBits(tf_minus_one, count, meta.tf_bits, words.data() + at + PackedWords(count, meta.doc_bits));
      blocks.push_back(meta);
    }
    if (blocks.size() > 0xFFFFFFFFu || words.size() > 0xFFFFFFFFu) {
      throw InvalidArgument("a segment would hold more postings than it can address");
    }
    entries.push_back(entry);
  }
  const std::vector<std::uint64_t> packed_lengths = PackLengths(doc_count, lengths);
  return Assemble(doc_count, postings, entries, blocks, words.data(), words.size(), BytesOf(packed_lengths));
}

Segment::Segment(std::string_view bytes, std::shared_ptr<const void> owner) : bytes_(bytes), owner_(std::move(owner)) {
  if (bytes_.size() < sizeof(SegmentHeader)) throw Damaged("shorter than its header");
  if (reinterpret_cast<std::uintptr_t>(bytes_.data()) % 8 != 0) throw Damaged("not 8-byte aligned");
  std::memcpy(&header_, bytes_.data(), sizeof(header_));
  if (header_.magic == kWideEntriesMagic || header_.magic == kUnpackedLengthsMagic) {
    auto converted = ConvertEarlierLayout(bytes_, header_);
    bytes_ = *converted;
    owner_ = std::move(converted);
    std::memcpy(&header_, bytes_.data(), sizeof(header_));
  }
  if (header_.magic != kSegmentMagic) throw Damaged("not a segment of this format");
  const std::uint64_t size = bytes_.size();
  // Each count is checked against the size (documents, whose packed lengths may take no bytes at
  // all, against 2^32) before it is multiplied, so nothing overflows.
  if (header_.doc_count >= kNoDocument || header_.term_count > size || header_.block_count > size ||
      header_.word_count > size) {
    throw Damaged("counts larger than the segment");
  }
  const std::uint64_t before_lengths = sizeof(SegmentHeader) + header_.term_count * sizeof(TermEntry) +
                                       Padded8(header_.block_count * sizeof(BlockMeta)) +
                                       Padded8(header_.word_count * 4);
  if (before_lengths > size || size - before_lengths < 8) throw Damaged("its size does not match its counts");
  std::uint64_t widths = 0;
  std::memcpy(&widths, bytes_.data() + before_lengths, 8);
  length_bits_[0] = static_cast<unsigned>(widths & 0xFF);
  length_bits_[1] = static_cast<unsigned>((widths >> 8) & 0xFF);
  if (length_bits_[0] > 32 || length_bits_[1] > 32 || (widths >> 16) != 0) throw Damaged("length widths out of range");
  const std::uint64_t lengths_bytes = 8 + 8 * PackedLengthWords(header_.doc_count, length_bits_[0], length_bits_[1]);
  if (before_lengths + lengths_bytes != size) throw Damaged("its size does not match its counts");
  doc_count_ = static_cast<std::uint32_t>(header_.doc_count);
  term_count_ = static_cast<std::uint32_t>(header_.term_count);
  const char* at = bytes_.data() + sizeof(SegmentHeader);
  terms_ = reinterpret_cast<const TermEntry*>(at);
  at += header_.term_count * sizeof(TermEntry);
  blocks_ = reinterpret_cast<const BlockMeta*>(at);
  at += Padded8(header_.block_count * sizeof(BlockMeta));
  words_ = reinterpret_cast<const std::uint32_t*>(at);
  at += Padded8(header_.word_count * 4);
  packed_lengths_ = reinterpret_cast<const std::uint64_t*>(at) + 1;
}

BlockMeta Segment::EntryBounds(const TermEntry& entry) const {
  BlockMeta meta{};
  if (entry.df == 1) {
    meta.tf[0] = SaturatedTf(std::max<std::uint32_t>(entry.first_word, 1));
    meta.length[0] = SaturatedLength(Length(entry.first_block, entry.field()));
  } else {
    meta.tf[0] = static_cast<std::uint8_t>(kSaturatedTf);
  }
  return meta;
}

const TermEntry* Segment::Find(std::uint32_t id) const {
  const TermEntry* end = terms_ + term_count_;
  const TermEntry* it =
      std::lower_bound(terms_, end, id, [](const TermEntry& e, std::uint32_t value) { return e.id() < value; });
  return it != end && it->id() == id ? it : nullptr;
}

void PostingCursor::Open(const Segment& segment, const TermEntry& entry) {
  segment_ = &segment;
  df_ = entry.df;
  block_ = 0;
  expected_ = 0;
  pos_ = 0;
  decoded_block_ = kNoDocument;
  doc_ = kNoDocument;
  block_count_ = 0;
  if (df_ == 0) return;
  if (df_ == 1) {
    count_ = 1;
    docs_[0] = entry.first_block;
    tfs_[0] = std::max<std::uint32_t>(entry.first_word, 1);
    meta_ = segment.EntryBounds(entry);
    meta_last_doc_ = docs_[0];
    if (docs_[0] < segment.doc_count_) doc_ = docs_[0];
    return;
  }
  const std::uint64_t blocks = (std::uint64_t{df_} + kBlockSize - 1) / kBlockSize;
  if (std::uint64_t{entry.first_block} + blocks > segment.header_.block_count ||
      entry.first_word > segment.header_.word_count) {
    return;  // damaged: the term finds nothing
  }
  blocks_ = segment.blocks_ + entry.first_block;
  block_count_ = static_cast<std::uint32_t>(blocks);
  word_ = entry.first_word;
  LoadBlock();
  while (count_ == 0 && block_ + 1 < block_count_) {
    MoveToBlock(block_ + 1);
    LoadBlock();
  }
  if (count_ == 0) doc_ = kNoDocument;
}

void PostingCursor::MoveToBlock(std::uint32_t block) {
  while (block_ < block) {
    const BlockMeta& meta = blocks_[block_];
    const std::uint32_t count = BlockPostings(df_, block_, block_count_);
    if (meta.doc_bits <= 32 && meta.tf_bits <= 32) {
      word_ += PackedWords(count, meta.doc_bits) + PackedWords(count, meta.tf_bits);
    }
    if (meta.last_doc != kNoDocument) expected_ = std::max(expected_, meta.last_doc + 1);
    ++block_;
  }
}

void PostingCursor::LoadBlock() {
  const BlockMeta& meta = blocks_[block_];
  decoded_block_ = block_;
  meta_ = meta;
  meta_last_doc_ = std::min(meta.last_doc, kNoDocument - 1);
  count_ = 0;
  pos_ = 0;
  const std::uint32_t count = BlockPostings(df_, block_, block_count_);
  if (meta.doc_bits > 32 || meta.tf_bits > 32) return;
  const std::size_t doc_words = PackedWords(count, meta.doc_bits);
  const std::size_t tf_words = PackedWords(count, meta.tf_bits);
  if (word_ + doc_words + tf_words > segment_->header_.word_count) return;
  if (count == kBlockSize) {
    UnpackBlock<kBlockSize>(segment_->words_ + word_, meta.doc_bits, docs_);
    UnpackBlock<kBlockSize>(segment_->words_ + word_ + doc_words, meta.tf_bits, tfs_);
  } else {
    UnpackBits(segment_->words_ + word_, count, meta.doc_bits, docs_);
    UnpackBits(segment_->words_ + word_ + doc_words, count, meta.tf_bits, tfs_);
  }
  for (std::uint32_t i = 0; i < count; ++i) tfs_[i] += tfs_[i] != 0xFFFFFFFFu;  // saturating
  // The gaps summed in 64 bits (no wrap), so the block is valid when its last document is.
  std::uint64_t sum = expected_;
  for (std::uint32_t i = 0; i < count; ++i) sum += docs_[i];
  if (sum + count - 1 < segment_->doc_count_) {
    // Document i is expected_ + (gap 0 + 1) + ... + (gap i + 1) - 1: a prefix sum, which no
    // step of here wraps (the sum above is in range).
    std::uint32_t* const docs = docs_;
    std::uint32_t i = 0;
#if defined(__SSE2__)
    const __m128i one = _mm_set1_epi32(1);
    __m128i carry = _mm_set1_epi32(static_cast<int>(expected_ - 1));
    for (; i + 4 <= count; i += 4) {
      __m128i x = _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(docs + i)), one);
      x = _mm_add_epi32(x, _mm_slli_si128(x, 4));
      x = _mm_add_epi32(x, _mm_slli_si128(x, 8));
      x = _mm_add_epi32(x, carry);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(docs + i), x);
      carry = _mm_shuffle_epi32(x, 0xFF);
    }
#endif
    std::uint32_t next = i == 0 ? expected_ : docs[i - 1] + 1;
    for (; i < count; ++i) {
      docs[i] += next;
      next = docs[i] + 1;
    }
    expected_ = next;
    count_ = count;
    doc_ = docs_[0];
    return;
  }
  std::uint64_t next = expected_;
  std::uint32_t valid = 0;
  for (; valid < count; ++valid) {
    const std::uint64_t doc = next + docs_[valid];
    if (doc >= segment_->doc_count_) break;
    docs_[valid] = static_cast<std::uint32_t>(doc);
    next = doc + 1;
  }
  expected_ = static_cast<std::uint32_t>(next);
  count_ = valid;
  doc_ = count_ > 0 ? docs_[0] : kNoDocument;
}

void PostingCursor::NextBlock() {
  if (doc_ == kNoDocument) return;
  while (block_ + 1 < block_count_) {
    MoveToBlock(block_ + 1);
    LoadBlock();
    if (count_ > 0) return;
  }
  doc_ = kNoDocument;
}

bool PostingCursor::ShallowAdvance(std::uint32_t target) {
  if (block_count_ == 0) return doc_ != kNoDocument && doc_ >= target;
  while (block_ < block_count_ && blocks_[block_].last_doc < target) MoveToBlock(block_ + 1);
  if (block_ >= block_count_) return false;
  meta_ = blocks_[block_];
  meta_last_doc_ = std::min(blocks_[block_].last_doc, kNoDocument - 1);
  return true;
}

void PostingCursor::Advance(std::uint32_t target) {
  if (doc_ == kNoDocument || doc_ >= target) return;
  if (block_count_ == 0) {
    doc_ = kNoDocument;
    return;
  }
  if (decoded_block_ != block_ || blocks_[block_].last_doc < target) {
    if (!ShallowAdvance(target)) {
      doc_ = kNoDocument;
      return;
    }
    LoadBlock();
  }
  for (;;) {
    while (pos_ < count_ && docs_[pos_] < target) ++pos_;
    if (pos_ < count_) {
      doc_ = docs_[pos_];
      return;
    }
    if (block_ + 1 >= block_count_) {
      doc_ = kNoDocument;
      return;
    }
    MoveToBlock(block_ + 1);
    LoadBlock();
  }
}

}  // namespace lumo::index
