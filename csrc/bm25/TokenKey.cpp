#include "bm25/TokenKey.h"

#include <cstdint>

namespace lumo::typing::text {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// The code unit of the surrogate whose three bytes start at `at`, or 0 if there is none.
std::uint32_t SurrogateAt(const std::string& token, std::size_t at) {
  if (at + 3 > token.size()) return 0;
  const auto lead = static_cast<unsigned char>(token[at]);
  const auto second = static_cast<unsigned char>(token[at + 1]);
  const auto third = static_cast<unsigned char>(token[at + 2]);
  if (lead != 0xED || (second & 0xE0) != 0xA0 || (third & 0xC0) != 0x80) return 0;
  return 0xD000u | ((second & 0x3Fu) << 6) | (third & 0x3Fu);
}

bool IsHigh(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLow(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendUnitEscape(std::string& out, std::uint32_t unit) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHexDigits[(unit >> shift) & 0xF];
}

}  // namespace

std::string EscapeTokenKey(const std::string& token) {
  std::string out;
  out.reserve(token.size());
  for (std::size_t i = 0; i < token.size(); ++i) {
    const auto byte = static_cast<unsigned char>(token[i]);
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += (i + 1 < token.size() && token[i + 1] == 'u') ? "\\u005c" : "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      case 0xED: {
        const std::uint32_t unit = SurrogateAt(token, i);
        if (unit == 0) {
          out += static_cast<char>(byte);
        } else if (IsHigh(unit) && IsLow(SurrogateAt(token, i + 3))) {
          out.append(token, i, 6);
          i += 5;
        } else {
          AppendUnitEscape(out, unit);
          i += 2;
        }
        break;
      }
      default:
        if (byte < 0x20) {
          AppendUnitEscape(out, byte);
        } else {
          out += static_cast<char>(byte);
        }
        break;
    }
  }
  return out;
}

}  // namespace lumo::typing::text
