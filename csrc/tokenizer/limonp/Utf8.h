#pragma once

// The one UTF-8 codec of the core. Decode reads one sequence and says what it found, without
// deciding what to do about malformed input; each reader applies its own rule to that finding
// (the segmenter's lead-byte decoding, the index's lenient stepping, the strict check of text
// handed to Python), so every reader rests on the same bit arithmetic.
#include <cstddef>
#include <cstdint>
#include <string>

namespace lumo::utf8 {

inline constexpr char32_t kMaxRune = 0x10FFFF;

// What a sequence is, from best to worst. The first four are complete sequences whose every
// byte after the lead is a continuation byte (10xxxxxx); only kValid is UTF-8 as the standard
// and Python's decoder define it.
enum class Form : std::uint8_t {
  kValid,
  kOverlong,          // a longer form than the value needs (C0 80, E0 80 80, F0 80 80 80)
  kSurrogate,         // a value from U+D800 to U+DFFF
  kAboveMax,          // a value above U+10FFFF (F4 90 80 80 up to F7 BF BF BF)
  kBadContinuation,   // a byte after the lead is not a continuation byte (E4 41 42)
  kContinuationLead,  // the lead is itself a continuation byte, 0x80 to 0xBF
  kTruncated,         // the text ends before the length the lead byte announces
  kBadLead,           // a lead byte from 0xF8 to 0xFF, which announces no length
};

// Complete, with sound continuation bytes: the value stands for the bytes, valid or not.
inline bool IsWellShaped(Form form) { return form <= Form::kAboveMax; }

struct Decoded {
  char32_t rune;
  std::uint32_t length;
  Form form;
};

// Reads the sequence at the start of `bytes`, of which `available` (at least 1) may be read.
//
// The length is the one the lead byte announces by its value alone: 1 below 0x80, 2 up to
// 0xDF (so a continuation byte in lead position announces two), 3 up to 0xEF, 4 up to 0xF7.
// The rune is the lead byte's payload bits followed by the low six bits of each byte after it,
// whatever those bytes are. Where fewer bytes remain than announced (kTruncated) or the lead
// announces nothing (kBadLead), the rune is the lead byte's value and the length 1.
inline Decoded Decode(const unsigned char* bytes, std::size_t available) {
  const char32_t b0 = bytes[0];
  if (b0 < 0x80) return {b0, 1, Form::kValid};
  if (b0 >= 0xF8) return {b0, 1, Form::kBadLead};
  const std::uint32_t length = b0 <= 0xDF ? 2 : b0 <= 0xEF ? 3 : 4;
  if (available < length) return {b0, 1, Form::kTruncated};
  // 0x1F, 0x0F or 0x07: the payload bits of a lead byte of this length.
  char32_t rune = b0 & (0x7Fu >> length);
  bool continuations_sound = true;
  for (std::uint32_t k = 1; k < length; ++k) {
    rune = (rune << 6) | (bytes[k] & 0x3Fu);
    continuations_sound = continuations_sound && (bytes[k] & 0xC0u) == 0x80u;
  }
  Form form = Form::kValid;
  if (b0 < 0xC0) {
    form = Form::kContinuationLead;
  } else if (!continuations_sound) {
    form = Form::kBadContinuation;
  } else if (rune < (length == 2 ? 0x80u : length == 3 ? 0x800u : 0x10000u)) {
    form = Form::kOverlong;
  } else if (rune >= 0xD800 && rune <= 0xDFFF) {
    form = Form::kSurrogate;
  } else if (rune > kMaxRune) {
    form = Form::kAboveMax;
  }
  return {rune, length, form};
}

// Appends the UTF-8 form of `rune`, shortest for its value. Surrogate values get the three
// bytes their number would have (as Python's "surrogatepass" writes them) and values up to
// 0x1FFFFF four bytes, so a well-shaped sequence that is not overlong is written back as read.
inline void AppendUtf8(char32_t rune, std::string& out) {
  if (rune < 0x80) {
    out.push_back(static_cast<char>(rune));
  } else if (rune < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (rune >> 6)));
    out.push_back(static_cast<char>(0x80 | (rune & 0x3F)));
  } else if (rune < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (rune >> 12)));
    out.push_back(static_cast<char>(0x80 | ((rune >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (rune & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (rune >> 18)));
    out.push_back(static_cast<char>(0x80 | ((rune >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((rune >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (rune & 0x3F)));
  }
}

}  // namespace lumo::utf8
