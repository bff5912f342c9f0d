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

// Ranges longer than this many runes are routed window by window (see CutLong). A Dag record
// carries room for 16 candidates, over 300 bytes, so a window is a few hundred kilobytes.
inline constexpr std::size_t DAG_WINDOW = 2048;

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

  // Appends the words of [begin, end) to `ranges`.
  void Cut(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, std::vector<WordRange>& ranges,
           std::size_t max_word_len) const {
    std::vector<Dag> dags;
    Cut(begin, end, ranges, max_word_len, dags);
  }

  // The same, with the caller's storage for the DAG records, so that the pieces of one sentence
  // share a single allocation.
  void Cut(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, std::vector<WordRange>& ranges,
           std::size_t max_word_len, std::vector<Dag>& dags) const {
    if (begin == end) {
      return;
    }
    if (static_cast<std::size_t>(end - begin) > DAG_WINDOW) {
      CutLong(begin, end, ranges, max_word_len, dags);
      return;
    }
    dict_trie_->Find(begin, end, dags, max_word_len);
    CalcDP(dags);
    CutByDag(begin, dags, ranges);
  }

  const DictTrie* GetDictTrie() const override { return dict_trie_; }

  bool Tag(const std::string& sentence, std::vector<std::pair<std::string, std::string>>& words) const override {
    return tagger_.Tag(sentence, words, *this);
  }

 private:
  struct RangeCutter {
    const MPSegment* self;
    std::size_t max_word_len;
    std::vector<Dag> dags;
    void operator()(RuneStrArray::const_iterator b, RuneStrArray::const_iterator e, std::vector<WordRange>& out) {
      self->Cut(b, e, out, max_word_len, dags);
    }
  };

  // One backward pass: each record learns the best route from its position to the end. Only a
  // strictly greater value replaces the best so far, so on a tie the earlier candidate, which is
  // the shorter word, stays.
  void CalcDP(std::vector<Dag>& dags) const {
    const std::size_t n = dags.size();
    const double min_weight = dict_trie_->GetMinWeight();
    for (std::size_t i = n; i-- > 0;) {
      Dag& dag = dags[i];
      dag.best_unit = nullptr;
      dag.best_weight = MIN_LOG_PROB;
      for (const auto& candidate : dag.candidates) {
        const std::size_t j = candidate.first;
        const DictUnit* unit = candidate.second;
        double value = j + 1 < n ? dags[j + 1].best_weight : 0.0;
        value += unit != nullptr ? unit->weight : min_weight;
        if (value > dag.best_weight) {
          dag.best_unit = unit;
          dag.best_weight = value;
        }
      }
    }
  }

  // The same route as Find + CalcDP + CutByDag, for a long range: the backward pass runs over
  // windows of DAG_WINDOW positions, from the last window to the first, so that only one
  // window's Dag records exist at a time. A position's value needs the best weights of later
  // positions only (up to MAX_WORD_LENGTH runes on), which stay in a flat array of doubles with
  // the chosen units beside them; every value is computed from the same operands in the same
  // order as CalcDP does, so the route is the same. Without the windows a sentence of a
  // million runes would hold some 300 MB of Dag records, and the time per MB of input would
  // grow with the sentence as those pages are faulted in and streamed through three times.
  void CutLong(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, std::vector<WordRange>& ranges,
               std::size_t max_word_len, std::vector<Dag>& dags) const {
    const std::size_t n = static_cast<std::size_t>(end - begin);
    const double min_weight = dict_trie_->GetMinWeight();
    std::vector<double> best_weight(n);
    std::vector<const DictUnit*> best_unit(n);
    for (std::size_t last = n; last > 0;) {
      const std::size_t first = last > DAG_WINDOW ? last - DAG_WINDOW : 0;
      dict_trie_->FindWindow(begin, end, first, last, dags, max_word_len);
      for (std::size_t i = last; i-- > first;) {
        const DictUnit* chosen = nullptr;
        double best = MIN_LOG_PROB;
        for (const auto& candidate : dags[i - first].candidates) {
          const std::size_t j = candidate.first;
          const DictUnit* unit = candidate.second;
          double value = j + 1 < n ? best_weight[j + 1] : 0.0;
          value += unit != nullptr ? unit->weight : min_weight;
          if (value > best) {
            chosen = unit;
            best = value;
          }
        }
        best_unit[i] = chosen;
        best_weight[i] = best;
      }
      last = first;
    }
    for (std::size_t i = 0; i < n;) {
      const std::size_t len = best_unit[i] != nullptr ? best_unit[i]->word.size() : 1;
      ranges.emplace_back(begin + i, begin + i + len - 1);
      i += len;
    }
  }

  static void CutByDag(RuneStrArray::const_iterator begin, const std::vector<Dag>& dags,
                       std::vector<WordRange>& ranges) {
    const std::size_t n = dags.size();
    std::size_t i = 0;
    while (i < n) {
      const DictUnit* unit = dags[i].best_unit;
      // A dictionary word is never empty, so every step advances.
      const std::size_t len = unit != nullptr ? unit->word.size() : 1;
      ranges.emplace_back(begin + i, begin + i + len - 1);
      i += len;
    }
  }

  const DictTrie* dict_trie_;
  PosTagger tagger_;
};

}  // namespace lumo::typing::text::jieba
