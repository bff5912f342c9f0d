#pragma once

#include <cstdint>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumo::typing::text {

// Byte-string hash for short keys: 8-byte words folded through 64x64->128-bit products.
// The tail is read with overlapping loads, so no byte-by-byte loop and no memcpy call.
inline std::uint64_t HashTokenBytes(const char* data, std::size_t size) {
  constexpr std::uint64_t kSeed = 0x9E3779B97F4A7C15ull;
  constexpr std::uint64_t kMul = 0xD6E8FEB86659FD93ull;
  auto mix = [](std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
  };
  auto load64 = [](const char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
  };
  auto load32 = [](const char* p) {
    std::uint32_t word;
    std::memcpy(&word, p, 4);
    return static_cast<std::uint64_t>(word);
  };
  std::uint64_t h = kSeed ^ (size * kMul);
  while (size > 8) {
    h = mix(h ^ load64(data), kMul);
    data += 8;
    size -= 8;
  }
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
  std::uint64_t tail = 0;
  if (size >= 4) {
    tail = (load32(data) << 32) | load32(data + size - 4);
  } else if (size > 0) {
    tail = (static_cast<std::uint64_t>(bytes[0]) << 16) | (static_cast<std::uint64_t>(bytes[size >> 1]) << 8) |
           bytes[size - 1];
  }
  return mix(mix(h ^ tail, kMul) ^ kSeed, kMul);
}

// Occurrence counts per token text, as an open-addressing index over a dense array of
// (token, count) entries. Compared with a node-based map, a lookup touches one slot (often
// in a cache line already fetched) and one entry instead of a bucket and a chain of nodes,
// and nothing is allocated per token but the text of a long new token.
//
// Entries keep their insertion order; iterators and references into them are invalidated by
// an insertion, as with std::vector. Up to 2^32 - 2 distinct tokens.
class TokenCountTable {
 public:
  using Entry = std::pair<std::string, std::int64_t>;
  using iterator = std::vector<Entry>::iterator;
  using const_iterator = std::vector<Entry>::const_iterator;

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }

  const_iterator find(std::string_view key) const {
    const std::uint32_t index = Lookup(key, HashTokenBytes(key.data(), key.size()));
    return index == kAbsent ? entries_.end() : entries_.begin() + index;
  }
  iterator find(std::string_view key) {
    const std::uint32_t index = Lookup(key, HashTokenBytes(key.data(), key.size()));
    return index == kAbsent ? entries_.end() : entries_.begin() + index;
  }
  std::size_t count(std::string_view key) const { return find(key) == end() ? 0 : 1; }
  const std::int64_t& at(std::string_view key) const {
    auto it = find(key);
    if (it == end()) throw std::out_of_range("token not counted");
    return it->second;
  }

  // The count of `key`, inserted as 0 when absent.
  std::int64_t& operator[](std::string_view key) {
    return entries_[FindOrInsert(key, HashTokenBytes(key.data(), key.size()))].second;
  }

  // Sets the count of `key`, taking the text over when the key is new.
  void insert_or_assign(std::string&& key, std::int64_t count) {
    const std::uint64_t hash = HashTokenBytes(key.data(), key.size());
    const std::uint32_t found = Lookup(key, hash);
    if (found != kAbsent) {
      entries_[found].second = count;
      return;
    }
    GrowFor(entries_.size() + 1);
    const auto index = static_cast<std::uint32_t>(entries_.size());
    entries_.emplace_back(std::move(key), count);  // before the slot: if it throws, no slot is left dangling
    Place(hash, index);
  }

  // Room for `n` distinct tokens without moving the index or the entries.
  void reserve(std::size_t n) {
    GrowFor(n);
    entries_.reserve(n);
  }

  void clear() {
    entries_.clear();
    slots_.clear();
    mask_ = 0;
  }

  // The entry of each key, or null, with the lookups of a block overlapped as in
  // AddOccurrences.
  void FindEach(const std::string_view* keys, std::size_t n, const Entry** found) const {
    constexpr std::size_t kBlock = 16;
    std::uint64_t hashes[kBlock];
    if (slots_.empty()) {
      for (std::size_t i = 0; i < n; ++i) found[i] = nullptr;
      return;
    }
    for (std::size_t start = 0; start < n; start += kBlock) {
      const std::size_t m = n - start < kBlock ? n - start : kBlock;
      Prefetch(keys + start, m, hashes);
      for (std::size_t i = 0; i < m; ++i) {
        const std::uint32_t index = Lookup(keys[start + i], hashes[i]);
        found[start + i] = index == kAbsent ? nullptr : &entries_[index];
      }
    }
  }

  // Adds one occurrence of each key. The keys are taken in blocks: all hashes of a block are
  // computed and their slots fetched first, then their entries, and only then are the counts
  // updated, so the memory latency of the lookups overlaps instead of adding up.
  void AddOccurrences(const std::string_view* keys, std::size_t n) {
    Batch batch(*this, n);
    if (!batch.Add(keys, n)) throw std::overflow_error("token count beyond 2^63 - 1");
    batch.Commit();
  }

  // Occurrences added by one or more Add calls that stand or fall together. Until Commit,
  // destroying the batch (as an exception unwinds, say) takes every added occurrence back and
  // removes the keys it inserted, so a failure part-way leaves the table as it was.
  class Batch {
   public:
    // `expected` occurrences are recorded without allocating on the way.
    Batch(TokenCountTable& table, std::size_t expected) : table_(table), first_new_(table.entries_.size()) {
      added_.reserve(expected);
    }
    ~Batch() {
      if (!committed_) table_.Undo(added_, first_new_);
    }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // False, with the occurrences before the failing one added, when a count would pass
    // 2^63 - 1; the caller then drops the batch.
    bool Add(const std::string_view* keys, std::size_t n) { return table_.AddRecorded(keys, n, added_); }
    void Commit() noexcept { committed_ = true; }

   private:
    TokenCountTable& table_;
    std::size_t first_new_;
    std::vector<std::uint32_t> added_;  // entry index of every occurrence added, in order
    bool committed_ = false;
  };

 private:
  bool AddRecorded(const std::string_view* keys, std::size_t n, std::vector<std::uint32_t>& added) {
    constexpr std::size_t kBlock = 16;
    std::uint64_t hashes[kBlock];
    for (std::size_t start = 0; start < n; start += kBlock) {
      const std::size_t m = n - start < kBlock ? n - start : kBlock;
      if (!slots_.empty()) {
        Prefetch(keys + start, m, hashes);
      } else {
        for (std::size_t i = 0; i < m; ++i) hashes[i] = HashTokenBytes(keys[start + i].data(), keys[start + i].size());
      }
      for (std::size_t i = 0; i < m; ++i) {
        const std::uint32_t index = FindOrInsert(keys[start + i], hashes[i]);
        if (entries_[index].second == INT64_MAX) return false;
        added.push_back(index);  // recorded first: if this throws, the count is still untouched
        ++entries_[index].second;
      }
    }
    return true;
  }

  // Takes back the recorded occurrences and removes the entries from `first_new` on. Entries are
  // placed in the index in the order of their numbers (a rebuild places them in that order too),
  // so the newest entry's probe sequence is never passed by an older one: clearing the slots of
  // the newest entries first keeps every other lookup intact.
  void Undo(const std::vector<std::uint32_t>& added, std::size_t first_new) noexcept {
    for (auto it = added.rbegin(); it != added.rend(); ++it) --entries_[*it].second;
    while (entries_.size() > first_new) {
      const auto index = static_cast<std::uint32_t>(entries_.size() - 1);
      const auto& key = entries_.back().first;
      const std::uint64_t hash = HashTokenBytes(key.data(), key.size());
      const std::uint64_t slot = (static_cast<std::uint64_t>(Fragment(hash)) << 32) | (index + 1u);
      std::size_t pos = hash & mask_;
      while (slots_[pos] != slot) pos = (pos + 1) & mask_;
      slots_[pos] = 0;
      entries_.pop_back();
    }
  }

  // Hashes m keys, then fetches their first slots, then the entries those slots name.
  void Prefetch(const std::string_view* keys, std::size_t m, std::uint64_t* hashes) const {
    for (std::size_t i = 0; i < m; ++i) {
      hashes[i] = HashTokenBytes(keys[i].data(), keys[i].size());
      __builtin_prefetch(&slots_[hashes[i] & mask_]);
    }
    for (std::size_t i = 0; i < m; ++i) {
      const std::uint64_t slot = slots_[hashes[i] & mask_];
      if (slot != 0) __builtin_prefetch(&entries_[static_cast<std::uint32_t>(slot) - 1]);
    }
  }

  static constexpr std::uint32_t kAbsent = 0xFFFFFFFFu;
  static constexpr std::size_t kMaxEntries = 0xFFFFFFFEu;

  // A slot holds (upper 32 bits of the hash) << 32 | (entry index + 1); 0 marks it free.
  static std::uint32_t Fragment(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32); }

  std::uint32_t Lookup(std::string_view key, std::uint64_t hash) const {
    if (slots_.empty()) return kAbsent;
    const std::uint32_t fragment = Fragment(hash);
    for (std::size_t pos = hash & mask_;; pos = (pos + 1) & mask_) {
      const std::uint64_t slot = slots_[pos];
      if (slot == 0) return kAbsent;
      if (static_cast<std::uint32_t>(slot >> 32) == fragment) {
        const std::uint32_t index = static_cast<std::uint32_t>(slot) - 1;
        if (entries_[index].first == key) return index;
      }
    }
  }

  std::uint32_t FindOrInsert(std::string_view key, std::uint64_t hash) {
    const std::uint32_t found = Lookup(key, hash);
    if (found != kAbsent) return found;
    GrowFor(entries_.size() + 1);
    const auto index = static_cast<std::uint32_t>(entries_.size());
    entries_.emplace_back(std::string(key), 0);  // before the slot: if it throws, no slot is left dangling
    Place(hash, index);
    return index;
  }

  // Puts an entry index into the first free slot of its probe sequence.
  void Place(std::uint64_t hash, std::uint32_t index) {
    std::size_t pos = hash & mask_;
    while (slots_[pos] != 0) pos = (pos + 1) & mask_;
    slots_[pos] = (static_cast<std::uint64_t>(Fragment(hash)) << 32) | (index + 1u);
  }

  // Keeps the index at most 5/8 full for `n` entries, rebuilding it larger when needed.
  void GrowFor(std::size_t n) {
    if (n > kMaxEntries) throw std::length_error("too many distinct tokens");
    if (!slots_.empty() && n * 8 <= slots_.size() * 5) return;
    std::size_t capacity = slots_.empty() ? 16 : slots_.size();
    while (n * 8 > capacity * 5) capacity *= 2;
    if (capacity == slots_.size()) return;
    slots_.assign(capacity, 0);
    mask_ = capacity - 1;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const auto& key = entries_[i].first;
      Place(HashTokenBytes(key.data(), key.size()), static_cast<std::uint32_t>(i));
    }
  }

  std::vector<std::uint64_t> slots_;
  std::size_t mask_ = 0;
  std::vector<Entry> entries_;
};

}  // namespace lumo::typing::text
