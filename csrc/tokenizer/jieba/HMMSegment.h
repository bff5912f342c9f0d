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
  // `ranges` is anything with emplace_back(first, last).
  template <class Out>
  void Cut(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, Out& ranges) const {
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
    template <class Out>
    void operator()(RuneStrArray::const_iterator b, RuneStrArray::const_iterator e, Out& out) const {
      self->Cut(b, e, out);
    }
  };

  static constexpr std::size_t STATUS_SUM = HMMModel::STATUS_SUM;
  static_assert(STATUS_SUM == 4, "Viterbi packs the previous state of four states into one byte");
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
  template <class Out>
  void InternalCut(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, Out& ranges) const {
    const std::size_t n = static_cast<std::size_t>(end - begin);
    Scratch<std::uint8_t, LOCAL_RUNES> states(n);
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
  //
  // One byte a rune: the pass keeps only the weights of the previous position, and the choice
  // of previous state for each of the four states of a position fits in two bits each, packed
  // into the byte that the way back then overwrites with the label itself. (Full tables of
  // weights and choices took 48 bytes a rune, the most of any stage on long runs.)
  void Viterbi(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end,
               Scratch<std::uint8_t, LOCAL_RUNES>& states) const {
    const std::size_t n = static_cast<std::size_t>(end - begin);
    double weight[STATUS_SUM];
    double next[STATUS_SUM];
    const auto& first = model_->EmitLogProbs(begin->rune);
    for (std::size_t s = 0; s < STATUS_SUM; ++s) {
      weight[s] = model_->startLogProb[s] + first[s];
    }
    states[0] = 0;
    for (std::size_t j = 1; j < n; ++j) {
      const auto& emits = model_->EmitLogProbs(begin[j].rune);
      unsigned packed = 0;
      for (std::size_t s = 0; s < STATUS_SUM; ++s) {
        double best = MIN_LOG_PROB;
        unsigned from = static_cast<unsigned>(E);
        const double emit = emits[s];
        for (std::size_t q = 0; q < STATUS_SUM; ++q) {
          const double value = weight[q] + model_->transLogProb[q][s] + emit;
          if (value > best) {
            best = value;
            from = static_cast<unsigned>(q);
          }
        }
        next[s] = best;
        packed |= from << (2 * s);
      }
      states[j] = static_cast<std::uint8_t>(packed);
      for (std::size_t s = 0; s < STATUS_SUM; ++s) {
        weight[s] = next[s];
      }
    }

    unsigned state = weight[E] >= weight[S] ? static_cast<unsigned>(E) : static_cast<unsigned>(S);
    for (std::size_t j = n - 1; j > 0; --j) {
      const unsigned packed = states[j];
      states[j] = static_cast<std::uint8_t>(state);
      state = (packed >> (2 * state)) & 3u;
    }
    states[0] = static_cast<std::uint8_t>(state);
  }

  const HMMModel* model_;
};

}  // namespace lumo::typing::text::jieba
