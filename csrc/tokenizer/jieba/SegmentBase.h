#pragma once

#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tokenizer/jieba/PreFilter.h"
#include "tokenizer/jieba/Unicode.h"
#include "tokenizer/limonp/Logger.h"

namespace lumo::typing::text::jieba {

class DictTrie;

// Space, tab, line feed, fullwidth comma U+FF0C and ideographic full stop U+3002. Each of these
// always forms a word of its own; carriage return, U+3000 and the ASCII comma and full stop do not.
inline constexpr const char* SPECIAL_SEPARATORS = " \t\n\xEF\xBC\x8C\xE3\x80\x82";

inline constexpr const char* SEGMENT_BASE_LABEL = "csrc/tokenizer/jieba/SegmentBase";

// The root of the segmenter family: owns the separator runes and the sentence driver that every
// concrete segmenter runs its range-level cut under.
class SegmentBase {
 public:
  SegmentBase() {
    // The line numbers of this unit's records are part of its documented output.
    LUMO_CHECK_AT(ResetSeparators(SPECIAL_SEPARATORS), SEGMENT_BASE_LABEL, 21);
  }
  virtual ~SegmentBase() = default;

  virtual void Cut(const std::string& sentence, std::vector<std::string>& words) const = 0;

  // Replaces the separator set by the runes of `text`. On a text that does not decode, or that
  // names a rune twice, writes an ERROR record and returns false; the runes before a repeated one
  // stay in the set.
  bool ResetSeparators(const std::string& text) {
    separators_.clear();
    RuneStrArray runes;
    if (!DecodeRunesInString(text, runes)) {
      LUMO_LOG_AT(ERROR, SEGMENT_BASE_LABEL, 32) << "decode " << text << " failed";
      return false;
    }
    for (const RuneStr& r : runes) {
      if (!separators_.insert(r.rune).second) {
        LUMO_LOG_AT(ERROR, SEGMENT_BASE_LABEL, 37)
            << text.substr(r.byte_offset, r.byte_length) << " already exists";
        return false;
      }
    }
    return true;
  }

  const std::unordered_set<Rune>& Separators() const { return separators_; }

 protected:
  // The sentence driver. Decodes the sentence once (in the PreFilter), runs `range_cut` over every
  // piece the filter hands out, separators included, collecting word ranges, and turns the ranges
  // into words only at the end. `range_cut(begin, end, ranges)` appends and never removes; it is
  // one object for the whole sentence, so it may keep working storage from piece to piece.
  template <class RangeCut>
  void CutSentence(const std::string& sentence, std::vector<Word>& words, RangeCut range_cut) const {
    PreFilter filter(separators_, sentence);
    std::vector<WordRange> ranges;
    CollectRanges(sentence, filter, ranges, range_cut);
    words.clear();
    words.reserve(ranges.size());
    GetWordsFromWordRanges(sentence, ranges, words);
  }

  // The same, filling bare byte strings: each word's text is written straight from its range,
  // reusing the strings `words` already holds.
  template <class RangeCut>
  void CutSentence(const std::string& sentence, std::vector<std::string>& words,
                   RangeCut range_cut) const {
    CutSentenceTexts(sentence, words, range_cut);
  }

  // The same, as views into `sentence`: no word is copied, and the views stay valid for as long
  // as `sentence` is alive and unchanged.
  template <class RangeCut>
  void CutSentence(const std::string& sentence, std::vector<std::string_view>& words,
                   RangeCut range_cut) const {
    CutSentenceTexts(sentence, words, range_cut);
  }

  std::unordered_set<Rune> separators_;

 private:
  template <class Text, class RangeCut>
  void CutSentenceTexts(const std::string& sentence, std::vector<Text>& words, RangeCut& range_cut) const {
    PreFilter filter(separators_, sentence);
    std::vector<WordRange> ranges;
    CollectRanges(sentence, filter, ranges, range_cut);
    words.resize(ranges.size());
    const std::string_view text(sentence);
    for (std::size_t i = 0; i < ranges.size(); ++i) {
      const WordRange& wr = ranges[i];
      const std::string_view word = text.substr(
          wr.first->byte_offset, wr.last->byte_offset + wr.last->byte_length - wr.first->byte_offset);
      if constexpr (std::is_same_v<Text, std::string>) {
        words[i].assign(word.data(), word.size());
      } else {
        words[i] = word;
      }
    }
  }

  template <class RangeCut>
  static void CollectRanges(const std::string& sentence, PreFilter& filter, std::vector<WordRange>& ranges,
                            RangeCut& range_cut) {
    if (sentence.size() > 1) {
      ranges.reserve(sentence.size() / 2);
    }
    while (filter.HasNext()) {
      const PreFilter::Range piece = filter.Next();
      range_cut(piece.begin, piece.end, ranges);
    }
  }
};

// A segmenter whose words can carry part-of-speech tags from the dictionary.
class SegmentTagged : public SegmentBase {
 public:
  ~SegmentTagged() override = default;

  // Appends (word, tag) pairs for the words of `sentence`; true when `words` is non-empty after.
  virtual bool Tag(const std::string& sentence, std::vector<std::pair<std::string, std::string>>& words) const = 0;
  virtual const DictTrie* GetDictTrie() const = 0;
};

}  // namespace lumo::typing::text::jieba
