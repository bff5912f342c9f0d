#include "index/Lexicon.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "index/Errors.h"

namespace lumo::index {

namespace {

constexpr std::uint64_t kTableMagic = 0x3130534D52455455ULL;  // "UTERMS01"
constexpr std::size_t kMostTables = 8;

std::uint64_t Padded8(std::uint64_t bytes) { return (bytes + 7) / 8 * 8; }

}  // namespace

TermTable::TermTable(std::string name, std::string_view bytes, std::shared_ptr<const void> owner)
    : name_(std::move(name)), bytes_(bytes), owner_(std::move(owner)) {
  auto bad = [this](const char* why) { return CorruptIndex("damaged index term table " + name_ + ": " + why); };
  std::uint64_t header[3];
  if (bytes.size() < sizeof(header)) throw bad("shorter than its header");
  if (reinterpret_cast<std::uintptr_t>(bytes.data()) % 8 != 0) throw bad("not 8-byte aligned");
  std::memcpy(header, bytes.data(), sizeof(header));
  if (header[0] != kTableMagic) throw bad("not a term table of this format");
  count_ = header[1];
  text_size_ = header[2];
  if (count_ >= kNoTerm || text_size_ > bytes.size()) throw bad("counts larger than the table");
  const std::uint64_t expected = sizeof(header) + Padded8(count_ * 4 + (count_ + 1) * 4) + text_size_;
  if (expected != bytes.size()) throw bad("its size does not match its counts");
  ids_ = reinterpret_cast<const std::uint32_t*>(bytes.data() + sizeof(header));
  offsets_ = ids_ + count_;
  text_ = bytes.data() + sizeof(header) + Padded8(count_ * 4 + (count_ + 1) * 4);
}

std::string_view TermTable::Text(std::uint64_t i) const {
  const std::uint32_t begin = offsets_[i], end = offsets_[i + 1];
  if (begin > end || end > text_size_) return {};  // damaged: an empty term matches no query term
  return std::string_view(text_ + begin, end - begin);
}

std::uint32_t TermTable::Find(std::string_view term) const {
  std::uint64_t lo = 0, hi = count_;
  while (lo < hi) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    const int c = Text(mid).compare(term);
    if (c == 0) return ids_[mid];
    if (c < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  return kNoTerm;
}

std::shared_ptr<const std::string> TermTable::Build(std::vector<std::pair<std::string_view, std::uint32_t>> terms) {
  std::sort(terms.begin(), terms.end());
  std::uint64_t text_size = 0;
  for (const auto& term : terms) text_size += term.first.size();
  if (text_size > 0xFFFFFFFFu) throw InvalidArgument("the terms are too long for one table");
  const std::uint64_t n = terms.size();
  const std::uint64_t header[3] = {kTableMagic, n, text_size};
  auto out = std::make_shared<std::string>(sizeof(header) + Padded8(n * 4 + (n + 1) * 4) + text_size, '\0');
  char* base = out->data();
  std::memcpy(base, header, sizeof(header));
  auto* ids = reinterpret_cast<std::uint32_t*>(base + sizeof(header));
  std::uint32_t* offsets = ids + n;
  char* text = base + sizeof(header) + Padded8(n * 4 + (n + 1) * 4);
  std::uint32_t at = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    ids[i] = terms[i].second;
    offsets[i] = at;
    if (!terms[i].first.empty()) std::memcpy(text + at, terms[i].first.data(), terms[i].first.size());
    at += static_cast<std::uint32_t>(terms[i].first.size());
  }
  offsets[n] = at;
  return out;
}

void AddedTerms::Reset(std::uint32_t first_id) {
  std::vector<std::uint64_t>().swap(locations_);
  std::vector<std::string>().swap(chunks_);
  std::vector<std::uint32_t>().swap(slots_);
  first_id_ = first_id;
}

namespace {
constexpr std::size_t kChunkBytes = std::size_t{1} << 16;
constexpr std::uint64_t kWholeChunk = (std::uint64_t{1} << 24) - 1;
constexpr std::size_t kMostChunks = std::size_t{1} << 24;
}  // namespace

std::string_view AddedTerms::Text(std::size_t i) const {
  const std::uint64_t location = locations_[i];
  const std::uint64_t length = location & kWholeChunk;
  if (length == 0) return {};
  const std::string& chunk = chunks_[location >> 40];
  if (length == kWholeChunk) return chunk;
  return std::string_view(chunk).substr((location >> 24) & 0xFFFF, length);
}

std::uint32_t AddedTerms::Find(std::string_view term) const {
  if (locations_.empty()) return kNoTerm;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = std::hash<std::string_view>{}(term)&mask;; slot = (slot + 1) & mask) {
    const std::uint32_t entry = slots_[slot];
    if (entry == 0) return kNoTerm;
    if (Text(entry - 1) == term) return first_id_ + (entry - 1);
  }
}

std::uint64_t AddedTerms::Store(std::string_view term) {
  if (term.empty()) return 0;  // length 0 reads as the empty text whatever the chunk
  if (chunks_.size() + 1 >= kMostChunks) throw InvalidArgument("the index holds the most new term text it can");
  if (term.size() >= kChunkBytes) {
    // A long term gets a chunk of its own; the next short term starts a new chunk after it.
    chunks_.emplace_back(term);
    return (std::uint64_t{chunks_.size() - 1} << 40) | kWholeChunk;
  }
  if (chunks_.empty() || chunks_.back().size() + term.size() > kChunkBytes) {
    chunks_.emplace_back();
    chunks_.back().reserve(kChunkBytes);
  }
  std::string& chunk = chunks_.back();
  const std::uint64_t offset = chunk.size();
  chunk.append(term);
  return (std::uint64_t{chunks_.size() - 1} << 40) | (offset << 24) | term.size();
}

namespace {
// Puts `entry` (a position + 1) in the first free slot from the term's hash on.
void Place(std::vector<std::uint32_t>& slots, std::string_view term, std::uint32_t entry) {
  const std::size_t mask = slots.size() - 1;
  std::size_t slot = std::hash<std::string_view>{}(term)&mask;
  while (slots[slot] != 0) slot = (slot + 1) & mask;
  slots[slot] = entry;
}
}  // namespace

void AddedTerms::Grow() { slots_ = Placed(slots_.empty() ? 1024 : slots_.size() * 2); }

std::vector<std::uint32_t> AddedTerms::Placed(std::size_t slot_count) const {
  std::vector<std::uint32_t> slots(slot_count, 0);
  for (std::size_t i = 0; i < locations_.size(); ++i) Place(slots, Text(i), static_cast<std::uint32_t>(i + 1));
  return slots;
}

std::vector<std::uint32_t> AddedTerms::SlotsWithRoomFor(std::size_t more) const {
  std::size_t slot_count = std::max<std::size_t>(1024, slots_.size());
  while (slot_count < 2 * (locations_.size() + more)) slot_count *= 2;
  if (slot_count == slots_.size()) return {};
  return Placed(slot_count);
}

void AddedTerms::InstallSlots(std::vector<std::uint32_t> slots) {
  if (!slots.empty()) slots_ = std::move(slots);
}

void AddedTerms::Add(std::string_view term) {
  if (2 * (locations_.size() + 1) > slots_.size()) Grow();
  locations_.push_back(Store(term));
  Place(slots_, term, static_cast<std::uint32_t>(locations_.size()));
}

void AddedTerms::Truncate(std::size_t size) {
  if (size >= locations_.size()) return;
  const bool rebuild = size < locations_.size() - size;
  if (!rebuild) {
    // Every term sits where inserting the terms one by one in position order put it (every
    // table is filled in that order), so clearing the newest first leaves each probe run as it
    // was before that term came.
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = locations_.size(); i-- > size;) {
      const auto entry = static_cast<std::uint32_t>(i + 1);
      std::size_t slot = std::hash<std::string_view>{}(Text(i)) & mask;
      while (slots_[slot] != entry) slot = (slot + 1) & mask;
      slots_[slot] = 0;
    }
  }
  locations_.resize(size);
  // The text of the dropped terms goes too: the chunks end where the last kept text ends.
  std::size_t chunks = 0, bytes = 0;
  for (std::size_t i = size; i-- > 0;) {
    const std::uint64_t location = locations_[i];
    const std::uint64_t length = location & kWholeChunk;
    if (length == 0) continue;
    chunks = static_cast<std::size_t>(location >> 40) + 1;
    bytes = length == kWholeChunk ? chunks_[chunks - 1].size() : ((location >> 24) & 0xFFFF) + length;
    break;
  }
  chunks_.resize(chunks);
  if (chunks > 0) chunks_.back().resize(bytes);
  if (rebuild) {
    // Most terms go: placing the few kept ones in a table of their size is quicker, and gives
    // the room back.
    std::size_t slot_count = 1024;
    while (slot_count < 2 * size) slot_count *= 2;
    slots_ = Placed(slot_count);
  }
}

void Lexicon::ForgetSince(std::uint32_t id) {
  if (id >= next_id_ || id < added_.first_id()) return;
  added_.Truncate(id - added_.first_id());
  next_id_ = id;
}

std::uint32_t Lexicon::Find(std::string_view term) const {
  const std::uint32_t added = added_.Find(term);
  if (added != kNoTerm) return added;
  for (const TermTable& table : tables_) {
    // A saved id the dictionary never gave out can only be damage: that entry reads as absent
    // (checked here rather than for every id when a table is opened).
    const std::uint32_t id = table.Find(term);
    if (id < next_id_) return id;
  }
  return kNoTerm;
}

std::uint32_t Lexicon::Intern(std::string_view term) {
  std::uint32_t id = Find(term);
  if (id != kNoTerm) return id;
  if (next_id_ > kLargestTermId) throw InvalidArgument("the index holds the largest number of terms it can");
  id = next_id_++;
  added_.Add(term);
  return id;
}

void Lexicon::SealAdded(const std::string& name) {
  if (added_.empty() && tables_.size() <= kMostTables) return;
  std::vector<std::pair<std::string_view, std::uint32_t>> terms;
  if (tables_.size() + 1 > kMostTables) {
    terms = AllTerms();
  } else {
    terms.reserve(added_.size());
    for (std::size_t i = 0; i < added_.size(); ++i) terms.emplace_back(added_.Text(i), added_.first_id() + i);
  }
  auto bytes = TermTable::Build(std::move(terms));
  TermTable table(name, *bytes, bytes);
  if (tables_.size() + 1 > kMostTables) tables_.clear();
  tables_.push_back(std::move(table));
  added_.Reset(next_id_);
}

void Lexicon::Restore(std::vector<TermTable> tables, std::uint32_t next_id) {
  tables_ = std::move(tables);
  next_id_ = next_id;
  added_.Reset(next_id_);
}

std::vector<std::pair<std::string_view, std::uint32_t>> Lexicon::AllTerms() const {
  std::vector<std::pair<std::string_view, std::uint32_t>> terms;
  for (const TermTable& table : tables_) {
    for (std::uint64_t i = 0; i < table.size(); ++i) terms.emplace_back(table.Text(i), table.Id(i));
  }
  for (std::size_t i = 0; i < added_.size(); ++i) terms.emplace_back(added_.Text(i), added_.first_id() + i);
  return terms;
}

}  // namespace lumo::index
