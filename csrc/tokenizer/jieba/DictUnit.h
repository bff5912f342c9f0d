#pragma once

#include <string>

#include "tokenizer/jieba/Unicode.h"

namespace lumo::typing::text::jieba {

// One dictionary entry. Words of up to 16 runes live inside the entry itself.
struct DictUnit {
  RuneArray word;
  // Natural logarithm of the word's relative frequency (for user words without a frequency,
  // the dictionary's chosen user-word weight).
  double weight = 0.0;
  // Part-of-speech tag exactly as written in the file; empty when the line gives none.
  std::string tag;
};

}  // namespace lumo::typing::text::jieba
