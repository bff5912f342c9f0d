#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "tokenizer/jieba/DictTrie.h"
#include "tokenizer/jieba/MPSegment.h"
#include "tokenizer/jieba/SegmentBase.h"
#include "tokenizer/jieba/Trie.h"
#include "tokenizer/jieba/Unicode.h"

namespace lumo::typing::text::jieba {

// Lists every dictionary word of two or more runes that occurs in the text, by start position and
// then length, plus each rune that no such word starts at and no earlier word reaches over.
// The words overlap and do not concatenate back to the text.
class FullSegment : public SegmentBase {
 public:
  explicit FullSegment(const DictTrie* dict_trie) : dict_trie_(dict_trie) {}
  ~FullSegment() override = default;

  void Cut(const std::string& sentence, std::vector<std::string>& words) const override {
    CutSentence(sentence, words, RangeCutter{this, {}});
  }
  void Cut(const std::string& sentence, std::vector<Word>& words) const {
    CutSentence(sentence, words, RangeCutter{this, {}});
  }

  void Cut(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, std::vector<WordRange>& ranges) const {
    std::vector<Dag> dags;
    Cut(begin, end, ranges, dags);
  }

 private:
  // `dags` is working storage, shared by the pieces of one sentence.
  void Cut(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, std::vector<WordRange>& ranges,
           std::vector<Dag>& dags) const {
    if (begin == end) {
      return;
    }
    dict_trie_->Find(begin, end, dags, MAX_WORD_LENGTH);
    // End (exclusive, in runes) of the furthest-reaching candidate seen so far.
    std::size_t covered = 0;
    for (std::size_t j = 0; j < dags.size(); ++j) {
      const auto& candidates = dags[j].candidates;
      for (const auto& candidate : candidates) {
        const std::size_t k = candidate.first;
        const DictUnit* unit = candidate.second;
        const std::size_t len = unit != nullptr ? unit->word.size() : 1;
        if ((unit != nullptr && len > 1) || (candidates.size() == 1 && covered <= j)) {
          ranges.emplace_back(begin + j, begin + k);
        }
        covered = std::max(covered, j + len);
      }
    }
  }

  struct RangeCutter {
    const FullSegment* self;
    std::vector<Dag> dags;
    void operator()(RuneStrArray::const_iterator b, RuneStrArray::const_iterator e, std::vector<WordRange>& out) {
      self->Cut(b, e, out, dags);
    }
  };

  const DictTrie* dict_trie_;
};

}  // namespace lumo::typing::text::jieba
