#pragma once

// The index's reading of text: lenient stepping for text that came from Python (always well
// formed). A sequence that is malformed in its shape (a stray or missing continuation byte, a
// bad lead byte, the end of the text) is taken as one code point of its lead byte's value, so
// no input can read past its end; overlong forms, surrogates and values above U+10FFFF keep
// the value their bits give.
#include <cstddef>
#include <string_view>

#include "tokenizer/limonp/Utf8.h"

namespace lumo::index {

inline char32_t DecodeUtf8(std::string_view s, std::size_t& i) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(s.data()) + i;
  const utf8::Decoded decoded = utf8::Decode(bytes, s.size() - i);
  if (!utf8::IsWellShaped(decoded.form)) {
    i += 1;
    return bytes[0];
  }
  i += decoded.length;
  return decoded.rune;
}

using utf8::AppendUtf8;

}  // namespace lumo::index
