#pragma once

// Lenient UTF-8 stepping for text that came from Python (always well formed); a malformed byte
// is taken as one code point of its own value, so no input can read past its end.
#include <cstddef>
#include <string>
#include <string_view>

namespace lumo::index {

inline char32_t DecodeUtf8(std::string_view s, std::size_t& i) {
  const auto c = static_cast<unsigned char>(s[i]);
  auto cont = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]) & 0x3Fu; };
  auto is_cont = [&](std::size_t k) {
    return i + k < s.size() && (static_cast<unsigned char>(s[i + k]) & 0xC0u) == 0x80u;
  };
  if (c >= 0xF0 && c < 0xF8 && is_cont(1) && is_cont(2) && is_cont(3)) {
    const char32_t cp = ((c & 0x07u) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3);
    i += 4;
    return cp;
  }
  if (c >= 0xE0 && c < 0xF0 && is_cont(1) && is_cont(2)) {
    const char32_t cp = ((c & 0x0Fu) << 12) | (cont(1) << 6) | cont(2);
    i += 3;
    return cp;
  }
  if (c >= 0xC0 && c < 0xE0 && is_cont(1)) {
    const char32_t cp = ((c & 0x1Fu) << 6) | cont(1);
    i += 2;
    return cp;
  }
  i += 1;
  return c;
}

inline void AppendUtf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace lumo::index
