#include "json/StringEscape.h"

#include <cstdint>

#include "tokenizer/limonp/Utf8.h"

namespace lumo::typing::text::json {
namespace {

// The escape both rules share for the seven bytes that have a two-character form, or null.
const char* TwoCharacterEscape(char byte) {
  switch (byte) {
    case '\b':
      return "\\b";
    case '\t':
      return "\\t";
    case '\n':
      return "\\n";
    case '\f':
      return "\\f";
    case '\r':
      return "\\r";
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    default:
      return nullptr;
  }
}

void AppendUnitEscape(std::string& out, std::uint32_t unit) {
  static constexpr char kHexDigits[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHexDigits[(unit >> shift) & 0xF];
}

// The code unit of the lone-surrogate bytes at `at`, or 0 if the bytes there are not one.
std::uint32_t SurrogateAt(std::string_view text, std::size_t at) {
  if (at >= text.size() || text[at] != '\xED') return 0;
  const auto decoded = utf8::Decode(reinterpret_cast<const unsigned char*>(text.data()) + at, text.size() - at);
  return decoded.form == utf8::Form::kSurrogate ? decoded.rune : 0;
}

bool IsHigh(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLow(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

void AppendLibraryEscaped(std::string& out, std::string_view text) {
  for (const char byte : text) {
    if (const char* escape = TwoCharacterEscape(byte)) {
      out += escape;
    } else {
      out += byte;
    }
  }
}

void AppendStandardEscaped(std::string& out, std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char byte = text[i];
    if (byte == '\\' && i + 1 < text.size() && text[i + 1] == 'u') {
      out += "\\u005c";
    } else if (const char* escape = TwoCharacterEscape(byte)) {
      out += escape;
    } else if (static_cast<unsigned char>(byte) < 0x20) {
      AppendUnitEscape(out, static_cast<unsigned char>(byte));
    } else if (const std::uint32_t unit = SurrogateAt(text, i); unit != 0) {
      if (IsHigh(unit) && IsLow(SurrogateAt(text, i + 3))) {
        out.append(text, i, 6);
        i += 5;
      } else {
        AppendUnitEscape(out, unit);
        i += 2;
      }
    } else {
      out += byte;
    }
  }
}

}  // namespace lumo::typing::text::json
