#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "tokenizer/jieba/DictTrie.h"
#include "tokenizer/jieba/SegmentBase.h"
#include "tokenizer/jieba/Unicode.h"
#include "tokenizer/limonp/Logger.h"

namespace lumo::typing::text::jieba {

inline constexpr const char* POS_M = "m";
inline constexpr const char* POS_ENG = "eng";
inline constexpr const char* POS_X = "x";

// Tags the words of a segmenter with the dictionary's tag column, falling back to a character
// rule for words the dictionary does not tag. Stateless.
class PosTagger {
 public:
  // Cuts `sentence` with the segmenter's default cut and appends one (word, tag) pair per word;
  // the pairs already in `res` stay. True when `res` is non-empty afterwards.
  bool Tag(const std::string& sentence, std::vector<std::pair<std::string, std::string>>& res,
           const SegmentTagged& segment) const {
    std::vector<std::string> words;
    segment.Cut(sentence, words);
    res.reserve(res.size() + words.size());
    for (std::string& word : words) {
      std::string tag = LookupTag(word, segment);
      res.emplace_back(std::move(word), std::move(tag));
    }
    return !res.empty();
  }

  std::string LookupTag(const std::string& word, const SegmentTagged& segment) const {
    const DictTrie* dict = segment.GetDictTrie();
    RuneStrArray runes;
    if (!DecodeRunesInString(word, runes)) {
      // The record's line number is part of this unit's documented output.
      LUMO_LOG_AT(ERROR, "csrc/tokenizer/jieba/PosTagger", 42) << "Decode failed.";
      return POS_X;
    }
    if (!runes.empty()) {
      const DictUnit* unit = dict->Find(runes.begin(), runes.end());
      if (unit != nullptr && !unit->tag.empty()) {
        return unit->tag;
      }
    }
    return SpecialRule(runes);
  }

 private:
  // Words of two or more runes containing ASCII are numbers ("m") or foreign words ("eng"). Only
  // the runes up to the point where half of the word has been seen to be ASCII decide which.
  static const char* SpecialRule(const RuneStrArray& runes) {
    const std::size_t n = runes.size();
    if (n < 2) {
      return POS_X;
    }
    const std::size_t half = n / 2;
    std::size_t ascii = 0;
    std::size_t digits = 0;
    for (std::size_t i = 0; i < n && ascii < half; ++i) {
      const Rune r = runes[i].rune;
      if (r < 0x80) {
        ++ascii;
        if (r >= '0' && r <= '9') {
          ++digits;
        }
      }
    }
    if (ascii == 0) {
      return POS_X;
    }
    return digits == ascii ? POS_M : POS_ENG;
  }
};

}  // namespace lumo::typing::text::jieba
