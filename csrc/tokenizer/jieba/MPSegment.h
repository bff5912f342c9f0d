#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "tokenizer/jieba/DictTrie.h"
#include "tokenizer/jieba/HMMModel.h"
#include "tokenizer/jieba/PosTagger.h"
#include "tokenizer/jieba/SegmentBase.h"
#include "tokenizer/jieba/Trie.h"
#include "tokenizer/jieba/Unicode.h"

namespace lumo::typing::text::jieba {

// The longest word, in runes, that any segmenter asks the trie for.
inline constexpr std::size_t MAX_WORD_LENGTH = 512;

// Cuts along the dictionary route of greatest summed log-probability weight. A route is made of
// dictionary words and single runes; a rune without a dictionary entry costs the main
// dictionary's smallest weight.
class MPSegment : public SegmentTagged {
 public:
  explicit MPSegment(const DictTrie* dict_trie) : dict_trie_(dict_trie) {}
  ~MPSegment() override = default;

  void Cut(const std::string& sentence, std::vector<std::string>& words) const override {
    Cut(sentence, words, MAX_WORD_LENGTH);
  }
  void Cut(const std::string& sentence, std::vector<std::string>& words, std::size_t max_word_len) const {
    CutSentence(sentence, words, RangeCutter{this, max_word_len, {}});
  }
  void Cut(const std::string& sentence, std::vector<Word>& words, std::size_t max_word_len) const {
    CutSentence(sentence, words, RangeCutter{this, max_word_len, {}});
  }

  // The best route of every position of a range, filled from the last position to the first.
  // Kept by the caller so that the pieces of one sentence share one allocation.
  struct Route {
    struct Step {
      double weight;     // summed weight of the best route from here to the range's end
      std::size_t last;  // position of the last rune of its first word
    };
    std::vector<Step> steps;
  };

  // Appends the words of [begin, end) to `ranges`.
  void Cut(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, std::vector<WordRange>& ranges,
           std::size_t max_word_len) const {
    Route route;
    Cut(begin, end, ranges, max_word_len, route);
  }

  // One backward pass: each position learns the best route from it to the end, trying the words
  // that start there in the order the trie yields them (the one-rune word first, then longer
  // ones). Only a strictly greater value replaces the best so far, so on a tie the earlier
  // candidate, which is the shorter word, stays. The words are visited straight from the trie
  // rather than collected per position first: the pass needs each candidate once, and storing
  // them would cost a few hundred bytes per rune.
  void Cut(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, std::vector<WordRange>& ranges,
           std::size_t max_word_len, Route& route) const {
    const std::size_t n = static_cast<std::size_t>(end - begin);
    if (n == 0) {
      return;
    }
    std::vector<Route::Step>& steps = route.steps;
    steps.resize(n);
    const double min_weight = dict_trie_->GetMinWeight();
    for (std::size_t i = n; i-- > 0;) {
      std::size_t chosen = i;
      double best = MIN_LOG_PROB;
      dict_trie_->ForEachWordAt(begin, end, i, max_word_len,
                                [&](std::size_t j, const DictUnit* unit, double weight) {
                                  double value = j + 1 < n ? steps[j + 1].weight : 0.0;
                                  value += unit != nullptr ? weight : min_weight;
                                  if (value > best) {
                                    chosen = j;
                                    best = value;
                                  }
                                });
      steps[i] = Route::Step{best, chosen};
    }
    for (std::size_t i = 0; i < n; i = steps[i].last + 1) {
      ranges.emplace_back(begin + i, begin + steps[i].last);
    }
  }

  const DictTrie* GetDictTrie() const override { return dict_trie_; }

  bool Tag(const std::string& sentence, std::vector<std::pair<std::string, std::string>>& words) const override {
    return tagger_.Tag(sentence, words, *this);
  }

 private:
  struct RangeCutter {
    const MPSegment* self;
    std::size_t max_word_len;
    Route route;
    void operator()(RuneStrArray::const_iterator b, RuneStrArray::const_iterator e, std::vector<WordRange>& out) {
      self->Cut(b, e, out, max_word_len, route);
    }
  };

  const DictTrie* dict_trie_;
  PosTagger tagger_;
};

}  // namespace lumo::typing::text::jieba
