#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tokenizer/jieba/PreFilter.h"
#include "tokenizer/jieba/SentencePieces.h"
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
        LUMO_LOG_AT(ERROR, SEGMENT_BASE_LABEL, 37) << text.substr(r.byte_offset, r.byte_length) << " already exists";
        return false;
      }
    }
    return true;
  }

  const std::unordered_set<Rune>& Separators() const { return separators_; }

 protected:
  // The sentence driver. Runs `range_cut` over every piece of the sentence that the PreFilter
  // would hand out, separators included, and turns each word into the output form as soon as
  // it is found. `range_cut(begin, end, out)` appends words and never removes any; it is one
  // object for the whole sentence, so it may keep working storage from piece to piece. A range
  // cut that accepts any output with emplace_back(first, last) gets the driver's sink, so that
  // no word range of the sentence is ever stored; one that takes a std::vector<WordRange> fills
  // one per piece. Pieces are decoded one at a time (SentencePieces): a cut holds the rune
  // records of its longest piece only, not of the whole sentence. A sentence that does not
  // decode writes the PreFilter's record and yields no word.
  template <class RangeCut>
  void CutSentence(const std::string& sentence, std::vector<Word>& words, RangeCut range_cut) const {
    words.clear();
    ForEachWord(
        sentence, range_cut, [](std::size_t) {},
        [&](RuneStrArray::const_iterator first, RuneStrArray::const_iterator last) {
          const std::uint32_t len = last->byte_offset + last->byte_length - first->byte_offset;
          const std::uint32_t rune_len = last->rune_offset + last->rune_length - first->rune_offset;
          words.emplace_back(sentence.substr(first->byte_offset, len), first->byte_offset, first->rune_offset,
                             rune_len);
        });
  }

  // The same, filling bare byte strings: each word's text is written straight from its range,
  // reusing the strings `words` already holds.
  template <class RangeCut>
  void CutSentence(const std::string& sentence, std::vector<std::string>& words, RangeCut range_cut) const {
    std::size_t count = 0;
    ForEachWord(
        sentence, range_cut, [](std::size_t) {},
        [&](RuneStrArray::const_iterator first, RuneStrArray::const_iterator last) {
          const char* text = sentence.data() + first->byte_offset;
          const std::size_t len = last->byte_offset + last->byte_length - first->byte_offset;
          if (count < words.size()) {
            words[count].assign(text, len);
          } else {
            words.emplace_back(text, len);
          }
          ++count;
        });
    words.resize(count);
  }

  // The same, as views into `sentence`: no word is copied, and the views stay valid for as long
  // as `sentence` is alive and unchanged.
  template <class RangeCut>
  void CutSentence(const std::string& sentence, std::vector<std::string_view>& words, RangeCut range_cut) const {
    words.clear();
    const std::string_view text(sentence);
    ForEachWord(
        sentence, range_cut, [&](std::size_t runes) { words.reserve(runes); },
        [&](RuneStrArray::const_iterator first, RuneStrArray::const_iterator last) {
          words.push_back(text.substr(first->byte_offset, last->byte_offset + last->byte_length - first->byte_offset));
        });
  }

  // The same, as byte offsets and lengths: 8 bytes a word, the smallest result.
  template <class RangeCut>
  void CutSentence(const std::string& sentence, std::vector<WordSpan>& words, RangeCut range_cut) const {
    words.clear();
    ForEachWord(
        sentence, range_cut, [&](std::size_t runes) { words.reserve(runes); },
        [&](RuneStrArray::const_iterator first, RuneStrArray::const_iterator last) {
          words.push_back(WordSpan{first->byte_offset, last->byte_offset + last->byte_length - first->byte_offset});
        });
  }

  std::unordered_set<Rune> separators_;

 public:
  // What a range cut appends to when it takes any output: each word goes straight to `emit`.
  template <class Emit>
  struct WordSink {
    Emit& emit;
    void emplace_back(RuneStrArray::const_iterator first, RuneStrArray::const_iterator last) { emit(first, last); }
    void push_back(const WordRange& word) { emit(word.first, word.last); }
  };

 private:
  // `start(rune_count)` runs once the sentence is known to decode, before the first word;
  // `emit(first, last)` runs for every word, in order, while its records are still alive.
  template <class RangeCut, class Start, class Emit>
  void ForEachWord(const std::string& sentence, RangeCut& range_cut, Start start, Emit emit) const {
    SentencePieces pieces(separators_, sentence);
    if (!pieces.Decodable()) {
      // The record is the PreFilter's, with its documented line number.
      LUMO_LOG_AT(ERROR, "csrc/tokenizer/jieba/PreFilter", 24) << "decode failed. ";
      return;
    }
    start(pieces.RuneCount());
    WordSink<Emit> sink{emit};
    std::vector<WordRange> piece_words;
    PreFilter::Range piece{};
    while (pieces.Next(piece)) {
      if constexpr (std::is_invocable_v<RangeCut&, RuneStrArray::const_iterator, RuneStrArray::const_iterator,
                                        WordSink<Emit>&>) {
        range_cut(piece.begin, piece.end, sink);
      } else {
        piece_words.clear();
        range_cut(piece.begin, piece.end, piece_words);
        for (const WordRange& word : piece_words) {
          emit(word.first, word.last);
        }
      }
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
