#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "tokenizer/jieba/DictUnit.h"
#include "tokenizer/jieba/Unicode.h"
#include "tokenizer/limonp/LocalVector.h"

namespace lumo::typing::text::jieba {

struct TrieNode;

// The children of one trie node: an open-addressing hash table keyed by rune, with linear
// probing. Most nodes of a dictionary trie have one child (the tails of long words) and the
// root has thousands. A node with one child keeps it inline, so following a word's tail costs
// one memory access per rune rather than two; from the second child on the children live in a
// flat table, one allocation per node and none per entry (a node-based hash map pays a bucket
// array plus one heap block per child). A node with no children holds nothing.
class TrieChildMap {
 public:
  TrieChildMap() : only_child_(nullptr) {}
  ~TrieChildMap() {
    if (size_ >= 2) delete[] slots_;
  }
  TrieChildMap(const TrieChildMap&) = delete;
  TrieChildMap& operator=(const TrieChildMap&) = delete;

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }

  TrieNode* Find(Rune key) const {
    if (size_ < 2) {
      return size_ == 1 && key_or_mask_ == key ? only_child_ : nullptr;
    }
    const std::uint32_t mask = key_or_mask_;
    std::uint32_t i = Hash(key) & mask;
    // Small tables may be full, so a miss is bounded by the table size rather than by an empty slot.
    for (std::uint32_t probes = 0; probes <= mask; ++probes) {
      const Slot& slot = slots_[i];
      if (slot.child == nullptr) {
        return nullptr;
      }
      if (slot.key == key) {
        return slot.child;
      }
      i = (i + 1) & mask;
    }
    return nullptr;
  }

  // Adds `child` under a key that is not present yet; the map owns nothing (the trie frees the
  // nodes), it only stores the pointer.
  void Insert(Rune key, TrieNode* child) {
    if (size_ == 0) {
      only_child_ = child;
      key_or_mask_ = key;
      size_ = 1;
      return;
    }
    if (size_ == 1) {
      const Slot only{key_or_mask_, only_child_};
      slots_ = nullptr;
      Rehash(2, &only, 1);
    } else if (size_ + 1 > MaxLoad(key_or_mask_ + 1)) {
      Rehash((key_or_mask_ + 1) * 2, slots_, key_or_mask_ + 1);
    }
    Place(key, child);
    ++size_;
  }

  template <class Visit>
  void ForEach(Visit visit) const {
    if (size_ < 2) {
      if (size_ == 1) visit(key_or_mask_, only_child_);
      return;
    }
    for (std::uint32_t i = 0; i <= key_or_mask_; ++i) {
      if (slots_[i].child != nullptr) {
        visit(slots_[i].key, slots_[i].child);
      }
    }
  }

 private:
  struct Slot {
    Rune key;
    TrieNode* child;  // nullptr marks an empty slot, so every rune value can be a key
  };

  static std::uint32_t Hash(Rune key) {
    // Fibonacci multiplier with the high half folded down, so that both dense code-point ranges
    // and strided ones spread over the low bits used as the index.
    const std::uint32_t h = key * 0x9E3779B1u;
    return h ^ (h >> 16);
  }

  // Tables of up to four slots may fill completely: a scan of four slots is as cheap as a
  // hash hit, and it keeps the many two- to four-child nodes small.
  static std::uint32_t MaxLoad(std::uint32_t capacity) { return capacity <= 4 ? capacity : capacity / 4 * 3; }

  void Place(Rune key, TrieNode* child) {
    std::uint32_t i = Hash(key) & key_or_mask_;
    while (slots_[i].child != nullptr) {
      i = (i + 1) & key_or_mask_;
    }
    slots_[i] = Slot{key, child};
  }

  // Moves the `count` slots at `old` (entries and empty ones) into a new table of `capacity`
  // slots; `old` is freed when it is this map's own table.
  void Rehash(std::uint32_t capacity, const Slot* old, std::uint32_t count) {
    Slot* const previous = slots_;
    slots_ = new Slot[capacity]();
    key_or_mask_ = capacity - 1;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (old[i].child != nullptr) {
        Place(old[i].key, old[i].child);
      }
    }
    delete[] previous;
  }

  union {
    Slot* slots_;           // two children or more: the table
    TrieNode* only_child_;  // exactly one child
  };
  std::uint32_t size_ = 0;
  std::uint32_t key_or_mask_ = 0;  // the only child's rune, or the table's index mask
};

struct TrieNode {
  TrieChildMap children;
  // The entry whose word ends exactly here; none for a node that is only a prefix.
  const DictUnit* unit = nullptr;
  // The entry's weight, kept beside the pointer: the route search reads a weight at every step
  // of every trie walk, and the entries themselves lie scattered far from the nodes.
  double weight = 0.0;
};

// The words that start at one position of a rune range, as the max-probability and full
// segmenters need them.
struct Dag {
  using Candidate = std::pair<std::size_t, const DictUnit*>;

  RuneStr rune_str;
  // (end position of the word's last rune, its entry or none); the first pair is always the
  // one-rune word at this position, the others follow in increasing end position.
  limonp::LocalVector<Candidate> candidates;
  // Route choice of the max-probability segmenter; none means a single rune.
  const DictUnit* best_unit;
  double best_weight;

  Dag() : rune_str{}, best_unit(nullptr), best_weight(0.0) {}
};

// Character trie over the dictionary words. Filled once, then read by any number of threads.
class Trie {
 public:
  Trie() : root_(new TrieNode) {}
  ~Trie() { DeleteNode(root_); }
  Trie(const Trie&) = delete;
  Trie& operator=(const Trie&) = delete;

  // Adds `word`; a word inserted again takes the new unit. Empty words are ignored.
  void InsertNode(const RuneArray& word, const DictUnit* unit) {
    if (word.empty()) {
      return;
    }
    TrieNode* node = root_;
    for (Rune rune : word) {
      TrieNode* next = node->children.Find(rune);
      if (next == nullptr) {
        next = new TrieNode;
        node->children.Insert(rune, next);
      }
      node = next;
    }
    node->unit = unit;
    node->weight = unit != nullptr ? unit->weight : 0.0;
  }

  // Calls visit(j, unit, weight) for every word that starts at position i of [begin, end) and
  // ends at position j: first the one-rune word (with its entry, or none when the rune is no
  // word), then the dictionary words in increasing end position; `weight` is the entry's weight
  // (0 without an entry). Words are followed only up to `max_word_length` runes; the one-rune
  // word is visited whatever the limit.
  template <class Visit>
  void ForEachWordAt(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, std::size_t i,
                     std::size_t max_word_length, Visit&& visit) const {
    const std::size_t n = static_cast<std::size_t>(end - begin);
    const TrieNode* node = root_->children.Find(begin[i].rune);
    if (node == nullptr) {
      visit(i, nullptr, 0.0);
      return;
    }
    visit(i, node->unit, node->weight);
    const std::size_t limit = max_word_length < n - i ? i + max_word_length : n;
    for (std::size_t j = i + 1; j < limit && !node->children.empty(); ++j) {
      node = node->children.Find(begin[j].rune);
      if (node == nullptr) {
        return;
      }
      if (node->unit != nullptr) {
        visit(j, node->unit, node->weight);
      }
    }
  }

  // One Dag per position of [begin, end), holding the words ForEachWordAt visits there.
  void Find(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, std::vector<Dag>& dags,
            std::size_t max_word_length) const {
    const std::size_t n = static_cast<std::size_t>(end - begin);
    dags.clear();
    dags.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      Dag& dag = dags[i];
      dag.rune_str = begin[i];
      ForEachWordAt(begin, end, i, max_word_length, [&dag](std::size_t j, const DictUnit* unit, double) {
        dag.candidates.push_back(Dag::Candidate(j, unit));
      });
    }
  }

  // The entry whose word is exactly the runes of [begin, end), or none.
  const DictUnit* Find(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end) const {
    return FindExact(begin, end, [](const RuneStr& r) { return r.rune; });
  }
  const DictUnit* Find(RuneArray::const_iterator begin, RuneArray::const_iterator end) const {
    return FindExact(begin, end, [](Rune r) { return r; });
  }

  // Frees `node` and everything below it. Iterative, so that a dictionary with a very long word
  // cannot exhaust the stack when the trie goes away.
  static void DeleteNode(TrieNode* node) {
    if (node == nullptr) {
      return;
    }
    std::vector<TrieNode*> pending(1, node);
    while (!pending.empty()) {
      TrieNode* current = pending.back();
      pending.pop_back();
      current->children.ForEach([&pending](Rune, TrieNode* child) { pending.push_back(child); });
      delete current;
    }
  }

 private:
  template <class It, class KeyOf>
  const DictUnit* FindExact(It begin, It end, KeyOf key_of) const {
    if (begin == end) {
      return nullptr;
    }
    const TrieNode* node = root_;
    for (It it = begin; it != end; ++it) {
      node = node->children.Find(key_of(*it));
      if (node == nullptr) {
        return nullptr;
      }
    }
    return node->unit;
  }

  TrieNode* root_;
};

}  // namespace lumo::typing::text::jieba
