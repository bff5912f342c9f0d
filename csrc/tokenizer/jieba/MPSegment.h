#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
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
  void Cut(const std::string& sentence, std::vector<WordSpan>& words, std::size_t max_word_len) const {
    CutSentence(sentence, words, RangeCutter{this, max_word_len, {}});
  }

  // The best route of every position of a range, filled from the last position to the first.
  // Kept by the caller so that the pieces of one sentence share one allocation.
  struct Route {
    // For each position, the position of the last rune of its best first word: 4 bytes a rune.
    std::vector<std::uint32_t> last;
    // The summed weight of the best route from a position to the range's end is needed only
    // while the backward pass is within one word's length of it, so it lives in a ring of
    // (a power of two above) max_word_len + 1 entries rather than one entry per rune.
    std::vector<double> weights;
  };

  // Appends the words of [begin, end) to `ranges` (anything with emplace_back(first, last)).
  template <class Out>
  void Cut(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, Out& ranges,
           std::size_t max_word_len) const {
    Route route;
    Cut(begin, end, ranges, max_word_len, route);
  }

  template <class Out>
  void Cut(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, Out& ranges, std::size_t max_word_len,
           Route& route) const {
    const std::size_t n = static_cast<std::size_t>(end - begin);
    if (n == 0) {
      return;
    }
    FindRoute(begin, end, max_word_len, route);
    for (std::size_t i = 0; i < n; i = route.last[i] + 1) {
      ranges.emplace_back(begin + i, begin + route.last[i]);
    }
  }

  // One backward pass over the non-empty [begin, end): each position learns the best route from
  // it to the end, trying the words that start there in the order the trie yields them (the
  // one-rune word first, then longer ones). Only a strictly greater value replaces the best so
  // far, so on a tie the earlier candidate, which is the shorter word, stays. The words are
  // visited straight from the trie rather than collected per position first: the pass needs
  // each candidate once, and storing them would cost a few hundred bytes per rune.
  void FindRoute(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, std::size_t max_word_len,
                 Route& route) const {
    const std::size_t n = static_cast<std::size_t>(end - begin);
    route.last.resize(n);
    // A word starting at i ends before i + max(max_word_len, 1), so the weights read at i lie
    // within that distance of i + 1; a ring larger than it never overwrites one still needed.
    const std::size_t reach = std::min(n, std::max<std::size_t>(max_word_len, 1)) + 1;
    std::size_t ring = 1;
    while (ring < reach) {
      ring *= 2;
    }
    if (route.weights.size() < ring) {
      route.weights.resize(ring);
    }
    double* const weights = route.weights.data();
    const std::size_t mask = ring - 1;
    const double min_weight = dict_trie_->GetMinWeight();
    for (std::size_t i = n; i-- > 0;) {
      std::size_t chosen = i;
      double best = MIN_LOG_PROB;
      dict_trie_->ForEachWordAt(begin, end, i, max_word_len, [&](std::size_t j, const DictUnit* unit, double weight) {
        double value = j + 1 < n ? weights[(j + 1) & mask] : 0.0;
        value += unit != nullptr ? weight : min_weight;
        if (value > best) {
          chosen = j;
          best = value;
        }
      });
      weights[i & mask] = best;
      route.last[i] = static_cast<std::uint32_t>(chosen);
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
    template <class Out>
    void operator()(RuneStrArray::const_iterator b, RuneStrArray::const_iterator e, Out& out) {
      self->Cut(b, e, out, max_word_len, route);
    }
  };

  const DictTrie* dict_trie_;
  PosTagger tagger_;
};

}  // namespace lumo::typing::text::jieba
