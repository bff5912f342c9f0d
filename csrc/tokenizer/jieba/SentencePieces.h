#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "tokenizer/jieba/PreFilter.h"
#include "tokenizer/jieba/SeparatorLookup.h"
#include "tokenizer/jieba/Unicode.h"

namespace lumo::typing::text::jieba {

// The pieces of a sentence that the PreFilter hands out (maximal separator-free stretches and
// single separator runes, in order), but decoded one piece at a time into storage that the next
// piece reuses. Rune records cost 20 bytes per rune, so decoding a whole long sentence up front
// made them the largest part of a cut's memory; here only the longest piece is ever held.
// Offsets in the records are those of the whole sentence, as the PreFilter's are.
class SentencePieces {
 public:
  // Checks that the whole sentence decodes before anything is handed out, so that a sentence
  // that does not decode yields no piece at all, as with the PreFilter.
  SentencePieces(const std::unordered_set<Rune>& separators, const std::string& sentence)
      : bytes_(reinterpret_cast<const unsigned char*>(sentence.data())), separators_(separators) {
    decodable_ = CountRunes(sentence.data(), sentence.size(), rune_count_);
    size_ = decodable_ ? static_cast<std::uint32_t>(sentence.size()) : 0;
  }

  SentencePieces(const SentencePieces&) = delete;
  SentencePieces& operator=(const SentencePieces&) = delete;

  bool Decodable() const { return decodable_; }
  std::size_t RuneCount() const { return rune_count_; }

  // Decodes the next piece; its records stay valid until the next call. False at the end.
  bool Next(PreFilter::Range& piece) {
    if (pos_ >= size_) {
      return false;
    }
    // The sentence was validated before it was split, so every decode below succeeds; the
    // initial values only keep the compiler from warning that they might not be set.
    Rune rune = 0;
    std::uint32_t length = 0;
    DecodeRuneAt(bytes_, pos_, size_, rune, length);
    runes_.clear();
    if (IsSeparator(rune)) {
      runes_.push_back(RuneStr{rune, pos_, length, index_, 1});
      pos_ += length;
      ++index_;
    } else {
      // Find the end first, so that the storage is sized once and exactly: growing it while
      // decoding would briefly hold one and a half times the records of a long piece.
      std::uint32_t end = pos_;
      std::size_t count = 0;
      do {
        end += length;
        ++count;
      } while (end < size_ && DecodeRuneAt(bytes_, end, size_, rune, length) && !IsSeparator(rune));
      runes_.reserve(count);
      while (pos_ < end) {
        DecodeRuneAt(bytes_, pos_, size_, rune, length);
        runes_.push_back(RuneStr{rune, pos_, length, index_, 1});
        pos_ += length;
        ++index_;
      }
    }
    piece.begin = runes_.data();
    piece.end = runes_.data() + runes_.size();
    return true;
  }

 private:
  bool IsSeparator(Rune r) const { return separators_.Contains(r); }

  const unsigned char* bytes_;
  const SeparatorLookup separators_;
  bool decodable_ = false;
  std::size_t rune_count_ = 0;
  std::uint32_t size_ = 0;
  std::uint32_t pos_ = 0;
  std::uint32_t index_ = 0;
  std::vector<RuneStr> runes_;
};

}  // namespace lumo::typing::text::jieba
