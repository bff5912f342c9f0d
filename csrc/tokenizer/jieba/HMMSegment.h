#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tokenizer/jieba/HMMModel.h"
#include "tokenizer/jieba/SegmentBase.h"
#include "tokenizer/jieba/Unicode.h"

namespace lumo::typing::text::jieba {

// Cuts text the dictionary does not explain: ASCII by fixed character rules, every other stretch
// by the Viterbi path of the hidden Markov model (B, E, M, S; a rune labelled E or S ends a word).
class HMMSegment : public SegmentBase {
 public:
  explicit HMMSegment(const HMMModel* model) : model_(model) {}
  ~HMMSegment() override = default;

  void Cut(const std::string& sentence, std::vector<std::string>& words) const override {
    CutSentence(sentence, words, RangeCutter{this});
  }
  void Cut(const std::string& sentence, std::vector<Word>& words) const {
    CutSentence(sentence, words, RangeCutter{this});
  }

  // Appends the words of [begin, end). A letter run takes the letters and digits after it
  // (iPhone15), a digit run the digits and points after it (127.0.0.1); any other ASCII rune is a
  // word of its own. Only the non-ASCII stretches between those reach the model.
  void Cut(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end,
           std::vector<WordRange>& ranges) const {
    RuneStrArray::const_iterator left = begin;
    RuneStrArray::const_iterator p = begin;
    while (p != end) {
      if (p->rune >= 0x80) {
        ++p;
        continue;
      }
      if (left != p) {
        InternalCut(left, p, ranges);
      }
      RuneStrArray::const_iterator q = p + 1;
      if (IsLetter(p->rune)) {
        while (q != end && (IsLetter(q->rune) || IsDigit(q->rune))) {
          ++q;
        }
      } else if (IsDigit(p->rune)) {
        while (q != end && (IsDigit(q->rune) || q->rune == '.')) {
          ++q;
        }
      }
      ranges.emplace_back(p, q - 1);
      left = p = q;
    }
    if (left != end) {
      InternalCut(left, end, ranges);
    }
  }

 private:
  struct RangeCutter {
    const HMMSegment* self;
    void operator()(RuneStrArray::const_iterator b, RuneStrArray::const_iterator e,
                    std::vector<WordRange>& out) const {
      self->Cut(b, e, out);
    }
  };

  static constexpr std::size_t STATUS_SUM = HMMModel::STATUS_SUM;
  static constexpr std::size_t E = HMMModel::E;
  static constexpr std::size_t S = HMMModel::S;

  static bool IsLetter(Rune r) { return (r >= 'A' && r <= 'Z') || (r >= 'a' && r <= 'z'); }
  static bool IsDigit(Rune r) { return r >= '0' && r <= '9'; }

  // [begin, end) is non-empty and holds no ASCII rune.
  void InternalCut(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end,
                   std::vector<WordRange>& ranges) const {
    std::vector<std::size_t> states;
    Viterbi(begin, end, states);
    RuneStrArray::const_iterator word_start = begin;
    for (std::size_t i = 0; i < states.size(); ++i) {
      if (states[i] == E || states[i] == S) {
        ranges.emplace_back(word_start, begin + i);
        word_start = begin + i + 1;
      }
    }
  }

  // Fills `states` with the most probable label of every rune of the non-empty [begin, end).
  // Ties keep the lower previous state (strictly-greater updates) and the final label prefers E
  // over S, so the path ends on a word end either way.
  void Viterbi(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end,
               std::vector<std::size_t>& states) const {
    const std::size_t n = static_cast<std::size_t>(end - begin);
    // Flat tables, one row of STATUS_SUM entries per position.
    std::vector<double> weight(n * STATUS_SUM);
    std::vector<std::int32_t> path(n * STATUS_SUM);

    for (std::size_t s = 0; s < STATUS_SUM; ++s) {
      weight[s] = model_->startLogProb[s] + model_->EmitLogProb(s, begin->rune);
      path[s] = -1;
    }
    for (std::size_t j = 1; j < n; ++j) {
      const Rune rune = begin[j].rune;
      const double* prev = &weight[(j - 1) * STATUS_SUM];
      double* cur = &weight[j * STATUS_SUM];
      std::int32_t* from = &path[j * STATUS_SUM];
      for (std::size_t s = 0; s < STATUS_SUM; ++s) {
        cur[s] = MIN_LOG_PROB;
        from[s] = static_cast<std::int32_t>(E);
        const double emit = model_->EmitLogProb(s, rune);
        for (std::size_t q = 0; q < STATUS_SUM; ++q) {
          const double value = prev[q] + model_->transLogProb[q][s] + emit;
          if (value > cur[s]) {
            cur[s] = value;
            from[s] = static_cast<std::int32_t>(q);
          }
        }
      }
    }

    const double* last = &weight[(n - 1) * STATUS_SUM];
    states.resize(n);
    states[n - 1] = last[E] >= last[S] ? E : S;
    for (std::size_t j = n - 1; j > 0; --j) {
      states[j - 1] = static_cast<std::size_t>(path[j * STATUS_SUM + states[j]]);
    }
  }

  const HMMModel* model_;
};

}  // namespace lumo::typing::text::jieba
