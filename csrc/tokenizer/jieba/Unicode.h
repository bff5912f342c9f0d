#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tokenizer/limonp/LocalVector.h"
#include "tokenizer/limonp/Utf8.h"

namespace lumo::typing::text::jieba {

// A Unicode code point as the decoder computes it (the decoder is lenient, so overlong forms,
// surrogates and values above U+10FFFF can occur).
using Rune = std::uint32_t;

// One decoded rune and where it came from, so that words can be cut out of the original bytes
// without re-encoding.
struct RuneStr {
  Rune rune;
  std::uint32_t byte_offset;
  std::uint32_t byte_length;
  std::uint32_t rune_offset;
  std::uint32_t rune_length;
};

using RuneArray = limonp::LocalVector<Rune>;
using RuneStrArray = limonp::LocalVector<RuneStr>;

// A word as a stretch of one decoded sentence; both ends are inclusive. Valid only while the
// rune records it points into are alive and unchanged.
struct WordRange {
  RuneStrArray::const_iterator first;
  RuneStrArray::const_iterator last;

  WordRange() : first(nullptr), last(nullptr) {}
  WordRange(RuneStrArray::const_iterator f, RuneStrArray::const_iterator l) : first(f), last(l) {}
  std::size_t Length() const { return static_cast<std::size_t>(last - first) + 1; }
};

// A word as a stretch of the sentence's bytes: the compact form of a result that keeps no rune
// records, for callers that turn the words into their own strings.
struct WordSpan {
  std::uint32_t offset;
  std::uint32_t length;
};

struct Word {
  std::string text;
  std::uint32_t byte_offset;
  std::uint32_t rune_offset;
  std::uint32_t rune_length;

  Word() : byte_offset(0), rune_offset(0), rune_length(0) {}
  Word(const std::string& t, std::uint32_t bo, std::uint32_t ro, std::uint32_t rl)
      : text(t), byte_offset(bo), rune_offset(ro), rune_length(rl) {}
};

// Texts of this many bytes or more are refused: positions are 32-bit, and letting them wrap
// would hand out word ranges that point at the wrong bytes.
inline constexpr std::uint64_t MAX_DECODE_BYTES = std::uint64_t{1} << 32;

// Decodes the rune that starts at `pos` of the `n` bytes (pos < n). The sequence length is
// taken from the lead byte alone and continuation bytes contribute only their low six bits;
// this leniency is part of the segmenter's behaviour (for instance E4 41 42 is one rune).
// False on a lead byte 0xF8..0xFF and on a sequence cut short by the end of the text.
inline bool DecodeRuneAt(const unsigned char* bytes, std::uint32_t pos, std::uint32_t n, Rune& rune,
                         std::uint32_t& length) {
  const utf8::Decoded decoded = utf8::Decode(bytes + pos, n - pos);
  if (decoded.form == utf8::Form::kTruncated || decoded.form == utf8::Form::kBadLead) {
    return false;
  }
  rune = decoded.rune;
  length = decoded.length;
  return true;
}

// Decodes UTF-8 into rune records, by the rules of DecodeRuneAt. Fails, leaving `runes` empty,
// where DecodeRuneAt fails and on texts of 4 GiB or more.
inline bool DecodeRunesInString(const char* s, std::size_t len, RuneStrArray& runes) {
  runes.clear();
  if (static_cast<std::uint64_t>(len) >= MAX_DECODE_BYTES) {
    return false;
  }
  runes.reserve(len / 2);
  if (len == 0) {
    return true;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(s);
  const auto n = static_cast<std::uint32_t>(len);
  std::uint32_t pos = 0;
  std::uint32_t index = 0;
  while (true) {
    Rune rune;
    std::uint32_t length;
    if (!DecodeRuneAt(bytes, pos, n, rune, length)) {
      runes.clear();
      return false;
    }
    runes.push_back(RuneStr{rune, pos, length, index, 1});
    // `length` never exceeds the bytes remaining, so this cannot wrap.
    pos += length;
    ++index;
    if (pos >= n) {
      return true;
    }
  }
}

// Whether DecodeRunesInString would accept the text, and how many runes it would give, without
// storing them.
inline bool CountRunes(const char* s, std::size_t len, std::size_t& count) {
  count = 0;
  if (static_cast<std::uint64_t>(len) >= MAX_DECODE_BYTES) {
    return false;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(s);
  const auto n = static_cast<std::uint32_t>(len);
  for (std::uint32_t pos = 0; pos < n; ++count) {
    Rune rune;
    std::uint32_t length;
    if (!DecodeRuneAt(bytes, pos, n, rune, length)) {
      count = 0;
      return false;
    }
    pos += length;
  }
  return true;
}

// Decodes UTF-8 into bare runes, with the same rules and failures as above.
inline bool DecodeRunesInString(const char* s, std::size_t len, RuneArray& unicode) {
  unicode.clear();
  RuneStrArray runes;
  if (!DecodeRunesInString(s, len, runes)) {
    return false;
  }
  unicode.reserve(runes.size());
  for (const RuneStr& r : runes) {
    unicode.push_back(r.rune);
  }
  return true;
}

inline bool DecodeRunesInString(const std::string& s, RuneStrArray& runes) {
  return DecodeRunesInString(s.data(), s.size(), runes);
}

inline bool DecodeRunesInString(const std::string& s, RuneArray& unicode) {
  return DecodeRunesInString(s.data(), s.size(), unicode);
}

// Turns ranges over the decoding of `s` into words, appended after those already in `words`.
inline void GetWordsFromWordRanges(const std::string& s, const std::vector<WordRange>& wrs, std::vector<Word>& words) {
  for (const WordRange& wr : wrs) {
    const std::uint32_t len = wr.last->byte_offset + wr.last->byte_length - wr.first->byte_offset;
    const std::uint32_t rune_len = wr.last->rune_offset + wr.last->rune_length - wr.first->rune_offset;
    words.emplace_back(s.substr(wr.first->byte_offset, len), wr.first->byte_offset, wr.first->rune_offset, rune_len);
  }
}

}  // namespace lumo::typing::text::jieba
