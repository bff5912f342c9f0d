#pragma once

#include <cstddef>
#include <cstdint>
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

  // Working storage of the range-level cut, reused by the pieces of one sentence.
  struct Scratch {
    MPSegment::Route route;
  };

  // Appends the words of [begin, end) to `ranges` (anything with emplace_back(first, last));
  // with or without the HMM stage they tile the range.
  template <class Out>
  void Cut(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, Out& ranges, bool hmm) const {
    Scratch scratch;
    Cut(begin, end, ranges, hmm, scratch);
  }

  // The dictionary route is walked where it lies rather than copied out as words first: each
  // word either goes straight to the output or, as one rune of a run, to the HMM.
  template <class Out>
  void Cut(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, Out& ranges, bool hmm,
           Scratch& scratch) const {
    if (!hmm) {
      mp_segment_.Cut(begin, end, ranges, MAX_WORD_LENGTH, scratch.route);
      return;
    }
    const std::size_t n = static_cast<std::size_t>(end - begin);
    if (n == 0) {
      return;
    }
    mp_segment_.FindRoute(begin, end, MAX_WORD_LENGTH, scratch.route);
    const std::vector<std::uint32_t>& last = scratch.route.last;
    const DictTrie* dict = mp_segment_.GetDictTrie();
    // A word of the route that the HMM may re-cut: one rune, and not a user word of one rune.
    const auto rerunnable = [&](std::size_t i) { return last[i] == i && !dict->IsSingleRuneUserWord(begin[i].rune); };
    std::size_t i = 0;
    while (i < n) {
      if (!rerunnable(i)) {
        ranges.emplace_back(begin + i, begin + last[i]);
        i = last[i] + 1;
        continue;
      }
      std::size_t j = i;
      while (j < n && rerunnable(j)) {
        ++j;
      }
      // The HMM's range cut only appends, so its words can go straight to the output.
      hmm_segment_.Cut(begin + i, begin + j, ranges);
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
    template <class Out>
    void operator()(RuneStrArray::const_iterator b, RuneStrArray::const_iterator e, Out& out) {
      self->Cut(b, e, out, hmm, scratch);
    }
  };

  MPSegment mp_segment_;
  HMMSegment hmm_segment_;
  PosTagger tagger_;
};

}  // namespace lumo::typing::text::jieba
