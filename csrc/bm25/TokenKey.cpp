#include "bm25/TokenKey.h"

#include <cstdint>

namespace lumo::typing::text {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of a \uXXXX escape starting at `at`, or -1 if there is none there.
long EscapedUnit(const std::string& text, std::size_t at) {
  if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') return -1;
  long unit = 0;
  for (std::size_t i = at + 2; i < at + 6; ++i) {
    const int digit = HexValue(text[i]);
    if (digit < 0) return -1;
    unit = unit * 16 + digit;
  }
  return unit;
}

void AppendUtf8(std::string& out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

// Inverse of the JSON library's escaper, which the parser applies to every key it reads.
std::string UndoParserEscape(const std::string& held_key) {
  std::string out;
  out.reserve(held_key.size());
  for (std::size_t i = 0; i < held_key.size(); ++i) {
    char c = held_key[i];
    if (c == '\\' && i + 1 < held_key.size()) {
      switch (held_key[i + 1]) {
        case 'b':
          c = '\b';
          ++i;
          break;
        case 't':
          c = '\t';
          ++i;
          break;
        case 'n':
          c = '\n';
          ++i;
          break;
        case 'f':
          c = '\f';
          ++i;
          break;
        case 'r':
          c = '\r';
          ++i;
          break;
        case '"':
          c = '"';
          ++i;
          break;
        case '\\':
          c = '\\';
          ++i;
          break;
        default: break;  // not the escaper's output: keep the backslash
      }
    }
    out += c;
  }
  return out;
}

}  // namespace

std::string EscapeTokenKey(const std::string& token) {
  std::string out;
  out.reserve(token.size());
  for (std::size_t i = 0; i < token.size(); ++i) {
    const auto byte = static_cast<unsigned char>(token[i]);
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += (i + 1 < token.size() && token[i + 1] == 'u') ? "\\u005c" : "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += kHexDigits[byte >> 4];
          out += kHexDigits[byte & 0xF];
        } else {
          out += static_cast<char>(byte);
        }
        break;
    }
  }
  return out;
}

std::string UnescapeTokenKey(const std::string& held_key) {
  // After undoing the parser's escaper, every backslash that starts \uXXXX came from a \u
  // escape in the file: a backslash of the token itself is never followed by u there.
  const std::string text = UndoParserEscape(held_key);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const long unit = EscapedUnit(text, i);
    if (unit < 0) {
      out += text[i++];
      continue;
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      const long low = EscapedUnit(text, i + 6);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((static_cast<std::uint32_t>(unit) - 0xD800) << 10) +
                            (static_cast<std::uint32_t>(low) - 0xDC00));
        i += 12;
        continue;
      }
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) {
      // A lone surrogate has no UTF-8 form; keep the escape as it was written.
      out.append(text, i, 6);
    } else {
      AppendUtf8(out, static_cast<std::uint32_t>(unit));
    }
    i += 6;
  }
  return out;
}

}  // namespace lumo::typing::text
