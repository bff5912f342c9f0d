#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

  // Fixed-size storage for the short stretches that make up nearly all HMM work, the heap
  // only beyond that. Elements are left uninitialised; the callers write before they read.
  template <class T, std::size_t N>
  class Scratch {
   public:
    explicit Scratch(std::size_t n) : data_(local_) {
      if (n > N) {
        heap_.reset(new T[n]);
        data_ = heap_.get();
      }
    }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }

   private:
    T local_[N];
    std::unique_ptr<T[]> heap_;
    T* data_;
  };

  static constexpr std::size_t LOCAL_RUNES = 32;

  // [begin, end) is non-empty and holds no ASCII rune.
  void InternalCut(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end,
                   std::vector<WordRange>& ranges) const {
    const std::size_t n = static_cast<std::size_t>(end - begin);
    Scratch<std::size_t, LOCAL_RUNES> states(n);
    Viterbi(begin, end, states);
    RuneStrArray::const_iterator word_start = begin;
    for (std::size_t i = 0; i < n; ++i) {
      if (states[i] == E || states[i] == S) {
        ranges.emplace_back(word_start, begin + i);
        word_start = begin + i + 1;
      }
    }
  }

  // Fills `states` with the most probable label of every rune of the non-empty [begin, end).
  // Ties keep the lower previous state (strictly-greater updates) and the final label prefers E
  // over S, so the path ends on a word end either way.
  template <class States>
  void Viterbi(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, States& states) const {
    const std::size_t n = static_cast<std::size_t>(end - begin);
    // Flat tables, one row of STATUS_SUM entries per position.
    Scratch<double, LOCAL_RUNES * STATUS_SUM> weight(n * STATUS_SUM);
    Scratch<std::int32_t, LOCAL_RUNES * STATUS_SUM> path(n * STATUS_SUM);

    const auto& first = model_->EmitLogProbs(begin->rune);
    for (std::size_t s = 0; s < STATUS_SUM; ++s) {
      weight[s] = model_->startLogProb[s] + first[s];
      path[s] = -1;
    }
    for (std::size_t j = 1; j < n; ++j) {
      const auto& emits = model_->EmitLogProbs(begin[j].rune);
      const std::size_t prev = (j - 1) * STATUS_SUM;
      const std::size_t cur = j * STATUS_SUM;
      for (std::size_t s = 0; s < STATUS_SUM; ++s) {
        double best = MIN_LOG_PROB;
        std::int32_t from = static_cast<std::int32_t>(E);
        const double emit = emits[s];
        for (std::size_t q = 0; q < STATUS_SUM; ++q) {
          const double value = weight[prev + q] + model_->transLogProb[q][s] + emit;
          if (value > best) {
            best = value;
            from = static_cast<std::int32_t>(q);
          }
        }
        weight[cur + s] = best;
        path[cur + s] = from;
      }
    }

    const std::size_t last = (n - 1) * STATUS_SUM;
    states[n - 1] = weight[last + E] >= weight[last + S] ? E : S;
    for (std::size_t j = n - 1; j > 0; --j) {
      states[j - 1] = static_cast<std::size_t>(path[j * STATUS_SUM + states[j]]);
    }
  }

  const HMMModel* model_;
};

}  // namespace lumo::typing::text::jieba
