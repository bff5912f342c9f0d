#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tokenizer/jieba/DictTrie.h"
#include "tokenizer/jieba/HMMModel.h"
#include "tokenizer/jieba/HMMSegment.h"
#include "tokenizer/jieba/MPSegment.h"
#include "tokenizer/jieba/PosTagger.h"
#include "tokenizer/jieba/SegmentBase.h"
#include "tokenizer/jieba/Unicode.h"

namespace lumo::typing::text::jieba {

// The default segmenter: the dictionary route first, then every run of single runes that the
// dictionary does not vouch for is re-cut by the HMM, which is how words outside the dictionary
// are found. Dictionary words of two or more runes and one-rune user words are kept as they are.
class MixSegment : public SegmentTagged {
 public:
  MixSegment(const DictTrie* dict_trie, const HMMModel* model) : mp_segment_(dict_trie), hmm_segment_(model) {}
  ~MixSegment() override = default;

  void Cut(const std::string& sentence, std::vector<std::string>& words) const override {
    Cut(sentence, words, true);
  }
  void Cut(const std::string& sentence, std::vector<std::string>& words, bool hmm) const {
    CutSentence(sentence, words, RangeCutter{this, hmm, {}});
  }
  void Cut(const std::string& sentence, std::vector<Word>& words, bool hmm) const {
    CutSentence(sentence, words, RangeCutter{this, hmm, {}});
  }
  void Cut(const std::string& sentence, std::vector<std::string_view>& words, bool hmm) const {
    CutSentence(sentence, words, RangeCutter{this, hmm, {}});
  }

  // Working storage of the range-level cut, reused by the pieces of one sentence.
  struct Scratch {
    MPSegment::Route route;
    std::vector<WordRange> words;
  };

  // Appends the words of [begin, end); with or without the HMM stage they tile the range.
  void Cut(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, std::vector<WordRange>& ranges,
           bool hmm) const {
    Scratch scratch;
    Cut(begin, end, ranges, hmm, scratch);
  }

  void Cut(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, std::vector<WordRange>& ranges,
           bool hmm, Scratch& scratch) const {
    if (!hmm) {
      mp_segment_.Cut(begin, end, ranges, MAX_WORD_LENGTH, scratch.route);
      return;
    }
    std::vector<WordRange>& words = scratch.words;
    words.clear();
    words.reserve(static_cast<std::size_t>(end - begin));
    mp_segment_.Cut(begin, end, words, MAX_WORD_LENGTH, scratch.route);

    const DictTrie* dict = mp_segment_.GetDictTrie();
    const auto rerunnable = [dict](const WordRange& w) {
      return w.first == w.last && !dict->IsSingleRuneUserWord(w.first->rune);
    };
    std::size_t i = 0;
    while (i < words.size()) {
      if (!rerunnable(words[i])) {
        ranges.push_back(words[i]);
        ++i;
        continue;
      }
      std::size_t j = i;
      while (j < words.size() && rerunnable(words[j])) {
        ++j;
      }
      // The HMM's range cut only appends, so its words can go straight to the output.
      hmm_segment_.Cut(words[i].first, words[j - 1].last + 1, ranges);
      i = j;
    }
  }

  const DictTrie* GetDictTrie() const override { return mp_segment_.GetDictTrie(); }

  bool Tag(const std::string& sentence, std::vector<std::pair<std::string, std::string>>& words) const override {
    return tagger_.Tag(sentence, words, *this);
  }

 private:
  struct RangeCutter {
    const MixSegment* self;
    bool hmm;
    Scratch scratch;
    void operator()(RuneStrArray::const_iterator b, RuneStrArray::const_iterator e, std::vector<WordRange>& out) {
      self->Cut(b, e, out, hmm, scratch);
    }
  };

  MPSegment mp_segment_;
  HMMSegment hmm_segment_;
  PosTagger tagger_;
};

}  // namespace lumo::typing::text::jieba
