#pragma once

#include <cstdint>
#include <unordered_set>

#include "tokenizer/jieba/Unicode.h"

namespace lumo::typing::text::jieba {

// A segmenter's separator set, asked once per rune of every sentence. A 64-bit mask stands in
// front of the set, one bit per value of a rune's low six bits, set for every separator: most
// runes are turned away by the mask alone, and only the few that share low bits with a
// separator reach the set. Reads the set it was built over, which must outlive it.
class SeparatorLookup {
 public:
  explicit SeparatorLookup(const std::unordered_set<Rune>& separators)
      : separators_(separators), mask_(MaskOf(separators)) {}

  bool Contains(Rune r) const { return ((mask_ >> (r & 63u)) & 1u) != 0 && separators_.count(r) != 0; }

 private:
  static std::uint64_t MaskOf(const std::unordered_set<Rune>& separators) {
    std::uint64_t mask = 0;
    for (Rune r : separators) {
      mask |= std::uint64_t{1} << (r & 63u);
    }
    return mask;
  }

  const std::unordered_set<Rune>& separators_;
  const std::uint64_t mask_;
};

}  // namespace lumo::typing::text::jieba
