#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "tokenizer/jieba/Unicode.h"

namespace lumo::typing::text::jieba {

// The emission log-probabilities of every state for one rune, side by side: the Viterbi pass
// needs all of them at each position, and one probe of this table replaces one hash-map lookup
// per state. Built once from the per-state maps and read-only after; a rune absent from a map
// gets `missing` for that state, which is what a lookup in that map would give.
template <std::size_t States>
class EmissionTable {
 public:
  using Row = std::array<double, States>;

  EmissionTable() : missing_row_{} {}

  void Build(const std::array<const std::unordered_map<Rune, double>*, States>& maps, double missing) {
    missing_row_.fill(missing);
    // The maps share most of their runes: size the table by the distinct ones.
    std::unordered_set<Rune> distinct;
    for (const auto* map : maps) {
      for (const auto& entry : *map) distinct.insert(entry.first);
    }
    const std::size_t keys = distinct.size();
    std::size_t capacity = 16;
    while (capacity < keys * 2) capacity *= 2;  // at most half full: short probe runs
    slots_.reset(new Slot[capacity]);
    mask_ = capacity - 1;
    for (std::size_t i = 0; i < capacity; ++i) slots_[i] = Slot{0, false, missing_row_};
    for (std::size_t state = 0; state < States; ++state) {
      for (const auto& [rune, value] : *maps[state]) Place(rune).row[state] = value;
    }
  }

  // The row of `rune`; the all-missing row when no map knows it.
  const Row& Find(Rune rune) const {
    if (slots_ == nullptr) return missing_row_;
    for (std::size_t i = Hash(rune) & mask_;; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (!slot.used) return missing_row_;
      if (slot.rune == rune) return slot.row;
    }
  }

 private:
  struct Slot {
    Rune rune;
    bool used;
    Row row;
  };

  static std::size_t Hash(Rune rune) {
    const std::uint32_t h = rune * 0x9E3779B1u;
    return h ^ (h >> 16);
  }

  Slot& Place(Rune rune) {
    for (std::size_t i = Hash(rune) & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (!slot.used) {
        slot.used = true;
        slot.rune = rune;
        return slot;
      }
      if (slot.rune == rune) return slot;
    }
  }

  std::unique_ptr<Slot[]> slots_;
  std::size_t mask_ = 0;
  Row missing_row_;
};

}  // namespace lumo::typing::text::jieba
