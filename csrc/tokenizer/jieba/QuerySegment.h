#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizer/jieba/DictTrie.h"
#include "tokenizer/jieba/HMMModel.h"
#include "tokenizer/jieba/MixSegment.h"
#include "tokenizer/jieba/SegmentBase.h"
#include "tokenizer/jieba/Unicode.h"

namespace lumo::typing::text::jieba {

// The search-mode segmenter: the words of the mixed segmenter, each preceded by the dictionary
// words of two runes inside it and, for words longer than three runes, those of three runes, so
// that an index sees a long word and its parts.
class QuerySegment : public SegmentBase {
 public:
  QuerySegment(const DictTrie* dict_trie, const HMMModel* model)
      : mix_segment_(dict_trie, model), dict_trie_(dict_trie) {}
  ~QuerySegment() override = default;

  void Cut(const std::string& sentence, std::vector<std::string>& words) const override { Cut(sentence, words, true); }
  void Cut(const std::string& sentence, std::vector<std::string>& words, bool hmm) const {
    CutSentence(sentence, words, RangeCutter{this, hmm, {}});
  }
  void Cut(const std::string& sentence, std::vector<Word>& words, bool hmm) const {
    CutSentence(sentence, words, RangeCutter{this, hmm, {}});
  }
  void Cut(const std::string& sentence, std::vector<std::string_view>& words, bool hmm) const {
    CutSentence(sentence, words, RangeCutter{this, hmm, {}});
  }
  void Cut(const std::string& sentence, std::vector<WordSpan>& words, bool hmm) const {
    CutSentence(sentence, words, RangeCutter{this, hmm, {}});
  }

  // Appends the words of [begin, end) to `ranges` (anything with emplace_back(first, last)).
  template <class Out>
  void Cut(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, Out& ranges, bool hmm) const {
    Scratch scratch;
    Cut(begin, end, ranges, hmm, scratch);
  }

 private:
  // Working storage of the range-level cut, reused by the pieces of one sentence.
  struct Scratch {
    MixSegment::Scratch mix;
  };

  // Takes the mixed segmenter's words one at a time and appends each after its sub-words, so
  // that the words of a range are never stored before they reach `out`.
  template <class Out>
  struct SubWordSink {
    const QuerySegment* self;
    Out& out;
    void emplace_back(RuneStrArray::const_iterator first, RuneStrArray::const_iterator last) {
      self->AppendWithSubWords(WordRange(first, last), out);
    }
    void push_back(const WordRange& word) { self->AppendWithSubWords(word, out); }
  };

  template <class Out>
  void Cut(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, Out& ranges, bool hmm,
           Scratch& scratch) const {
    SubWordSink<Out> sink{this, ranges};
    mix_segment_.Cut(begin, end, sink, hmm, scratch.mix);
  }

  template <class Out>
  void AppendWithSubWords(const WordRange& word, Out& ranges) const {
    const std::size_t len = word.Length();
    if (len > 2) {
      for (std::size_t i = 1; i < len; ++i) {
        AppendIfWord(word.first + (i - 1), 2, ranges);
      }
    }
    if (len > 3) {
      for (std::size_t i = 0; i + 2 < len; ++i) {
        AppendIfWord(word.first + i, 3, ranges);
      }
    }
    ranges.emplace_back(word.first, word.last);
  }

  struct RangeCutter {
    const QuerySegment* self;
    bool hmm;
    Scratch scratch;
    template <class Out>
    void operator()(RuneStrArray::const_iterator b, RuneStrArray::const_iterator e, Out& out) {
      self->Cut(b, e, out, hmm, scratch);
    }
  };

  template <class Out>
  void AppendIfWord(RuneStrArray::const_iterator first, std::size_t len, Out& ranges) const {
    if (dict_trie_->Find(first, first + len) != nullptr) {
      ranges.emplace_back(first, first + len - 1);
    }
  }

  MixSegment mix_segment_;
  const DictTrie* dict_trie_;
};

}  // namespace lumo::typing::text::jieba
