#include "index/Segment.h"

#include <algorithm>
#include <cstring>

#include "index/BitPacking.h"
#include "index/Errors.h"

namespace lumo::index {

namespace {

constexpr std::uint64_t kSegmentMagic = 0x3230474553554D4CULL;          // "LMUSEG02": lengths packed
constexpr std::uint64_t kUnpackedLengthsMagic = 0x3130474553554D4CULL;  // "LMUSEG01"

std::uint64_t PackedLengthWords(std::uint64_t doc_count, unsigned bits0, unsigned bits1) {
  return (doc_count * (bits0 + bits1) + 63) / 64;
}

std::uint64_t Padded8(std::uint64_t bytes) { return (bytes + 7) / 8 * 8; }

std::uint16_t SaturatedTf(std::uint32_t tf) { return static_cast<std::uint16_t>(std::min(tf, kSaturatedTf)); }

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
    meta.length[i] = front[i].second;
  }
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
                                                const std::vector<std::uint32_t>& lengths) {
  std::vector<TermEntry> entries;
  std::vector<BlockMeta> blocks;
  std::vector<std::uint32_t> words;
  entries.reserve(terms.ids.size());
  std::uint64_t postings = 0;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
  std::uint32_t gaps[kBlockSize];
  std::uint32_t tf_minus_one[kBlockSize];
  for (std::size_t t = 0; t < terms.ids.size(); ++t) {
    const std::uint8_t field = terms.fields[t];
    const std::size_t df = terms.starts[t + 1] - terms.starts[t];
    const std::uint32_t* docs = terms.docs.data() + terms.starts[t];
    const std::uint32_t* tfs = terms.tfs.data() + terms.starts[t];
    TermEntry entry{};
    entry.id = terms.ids[t];
    entry.field = field;
    entry.df = static_cast<std::uint32_t>(df);
    postings += df;
    std::uint32_t max_tf = 0;
    std::uint32_t min_length = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < df; ++i) {
      max_tf = std::max(max_tf, tfs[i]);
      min_length = std::min(min_length, lengths[2 * std::size_t{docs[i]} + field]);
    }
    entry.max_tf = SaturatedTf(max_tf);
    entry.min_length = min_length;
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
  SegmentHeader header{kSegmentMagic, doc_count, entries.size(), blocks.size(), words.size(), postings};
  const std::uint64_t terms_bytes = entries.size() * sizeof(TermEntry);
  const std::uint64_t blocks_bytes = Padded8(blocks.size() * sizeof(BlockMeta));
  const std::uint64_t words_bytes = Padded8(words.size() * 4);
  std::uint32_t largest[2] = {0, 0};
  for (std::uint64_t i = 0; i < 2 * std::uint64_t{doc_count}; ++i)
    largest[i & 1] = std::max(largest[i & 1], lengths[i]);
  const unsigned bits[2] = {BitsFor(largest[0]), BitsFor(largest[1])};
  const std::uint64_t length_words = PackedLengthWords(doc_count, bits[0], bits[1]);
  auto out = std::make_shared<std::string>(
      sizeof(header) + terms_bytes + blocks_bytes + words_bytes + 8 + length_words * 8, '\0');
  char* at = out->data();
  std::memcpy(at, &header, sizeof(header));
  at += sizeof(header);
  if (!entries.empty()) std::memcpy(at, entries.data(), terms_bytes);
  at += terms_bytes;
  if (!blocks.empty()) std::memcpy(at, blocks.data(), blocks.size() * sizeof(BlockMeta));
  at += blocks_bytes;
  if (!words.empty()) std::memcpy(at, words.data(), words.size() * 4);
  at += words_bytes;
  std::vector<std::uint64_t> packed(1 + length_words, 0);
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
  std::memcpy(at, packed.data(), packed.size() * 8);
  return out;
}

Segment::Segment(std::string_view bytes, std::shared_ptr<const void> owner) : bytes_(bytes), owner_(std::move(owner)) {
  auto bad = [](const char* why) { return CorruptIndex(std::string("damaged index segment: ") + why); };
  if (bytes.size() < sizeof(SegmentHeader)) throw bad("shorter than its header");
  if (reinterpret_cast<std::uintptr_t>(bytes.data()) % 8 != 0) throw bad("not 8-byte aligned");
  std::memcpy(&header_, bytes.data(), sizeof(header_));
  const bool packed = header_.magic == kSegmentMagic;
  if (!packed && header_.magic != kUnpackedLengthsMagic) throw bad("not a segment of this format");
  const std::uint64_t size = bytes.size();
  // Each count is checked against the size (documents, whose packed lengths may take no bytes at
  // all, against 2^32) before it is multiplied, so nothing overflows.
  if (header_.doc_count >= kNoDocument || header_.term_count > size || header_.block_count > size ||
      header_.word_count > size) {
    throw bad("counts larger than the segment");
  }
  const std::uint64_t before_lengths = sizeof(SegmentHeader) + header_.term_count * sizeof(TermEntry) +
                                       Padded8(header_.block_count * sizeof(BlockMeta)) +
                                       Padded8(header_.word_count * 4);
  if (before_lengths > size) throw bad("its size does not match its counts");
  std::uint64_t lengths_bytes = header_.doc_count * 8;
  if (packed) {
    if (size - before_lengths < 8) throw bad("its size does not match its counts");
    std::uint64_t widths = 0;
    std::memcpy(&widths, bytes.data() + before_lengths, 8);
    length_bits_[0] = static_cast<unsigned>(widths & 0xFF);
    length_bits_[1] = static_cast<unsigned>((widths >> 8) & 0xFF);
    if (length_bits_[0] > 32 || length_bits_[1] > 32 || (widths >> 16) != 0) throw bad("length widths out of range");
    lengths_bytes = 8 + 8 * PackedLengthWords(header_.doc_count, length_bits_[0], length_bits_[1]);
  }
  if (before_lengths + lengths_bytes != size) throw bad("its size does not match its counts");
  doc_count_ = static_cast<std::uint32_t>(header_.doc_count);
  term_count_ = static_cast<std::uint32_t>(header_.term_count);
  const char* at = bytes.data() + sizeof(SegmentHeader);
  terms_ = reinterpret_cast<const TermEntry*>(at);
  at += header_.term_count * sizeof(TermEntry);
  blocks_ = reinterpret_cast<const BlockMeta*>(at);
  at += Padded8(header_.block_count * sizeof(BlockMeta));
  words_ = reinterpret_cast<const std::uint32_t*>(at);
  at += Padded8(header_.word_count * 4);
  if (packed)
    packed_lengths_ = reinterpret_cast<const std::uint64_t*>(at) + 1;
  else
    lengths_ = reinterpret_cast<const std::uint32_t*>(at);
}

const TermEntry* Segment::Find(std::uint32_t id) const {
  const TermEntry* end = terms_ + term_count_;
  const TermEntry* it =
      std::lower_bound(terms_, end, id, [](const TermEntry& e, std::uint32_t value) { return e.id < value; });
  return it != end && it->id == id ? it : nullptr;
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
    meta_ = Segment::EntryBounds(entry);
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
    std::uint32_t next = expected_;
    for (std::uint32_t i = 0; i < count; ++i) {
      docs_[i] += next;
      next = docs_[i] + 1;
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
