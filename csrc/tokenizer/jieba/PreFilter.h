#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>

#include "tokenizer/jieba/SeparatorLookup.h"
#include "tokenizer/jieba/Unicode.h"
#include "tokenizer/limonp/Logger.h"

namespace lumo::typing::text::jieba {

// Splits one decoded sentence into maximal separator-free stretches and single separator runes,
// in order, so that no word ever reaches across a separator. The sentence is decoded here, once;
// the segmenters work on positions in this filter's rune records until the very end of a call.
class PreFilter {
 public:
  // A stretch of rune records, end exclusive (unlike a WordRange, whose `last` is inclusive).
  struct Range {
    RuneStrArray::const_iterator begin;
    RuneStrArray::const_iterator end;
  };

  PreFilter(const std::unordered_set<Rune>& separators, const std::string& sentence)
      : cursor_(0), separators_(separators) {
    if (!DecodeRunesInString(sentence, runes_)) {
      // The record's line number is part of this unit's documented output.
      LUMO_LOG_AT(ERROR, "csrc/tokenizer/jieba/PreFilter", 24) << "decode failed. ";
    }
  }

  // Word ranges handed out by the segmenters point into runes_, so the filter must stay put.
  PreFilter(const PreFilter&) = delete;
  PreFilter& operator=(const PreFilter&) = delete;

  bool HasNext() const { return cursor_ != runes_.size(); }

  Range Next() {
    const std::size_t start = cursor_;
    const std::size_t n = runes_.size();
    if (IsSeparator(start)) {
      cursor_ = start + 1;
    } else {
      std::size_t p = start + 1;
      while (p < n && !IsSeparator(p)) {
        ++p;
      }
      cursor_ = p;
    }
    return Range{runes_.begin() + start, runes_.begin() + cursor_};
  }

  const RuneStrArray& Runes() const { return runes_; }

 private:
  bool IsSeparator(std::size_t i) const { return separators_.Contains(runes_[i].rune); }

  std::size_t cursor_;
  RuneStrArray runes_;
  const SeparatorLookup separators_;
};

}  // namespace lumo::typing::text::jieba
