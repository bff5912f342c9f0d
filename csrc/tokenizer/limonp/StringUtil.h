#pragma once

#include <cstddef>
#include <cstdlib>
#include <string>
#include <vector>

namespace lumo::typing::text::limonp {

// Cuts `src` at every byte that occurs in `pattern`. Adjacent delimiters give empty pieces and
// nothing is trimmed, because the data-file formats count columns exactly; a delimiter at the
// very end adds no piece. After `maxsplit` pieces the rest of the text is one final piece.
inline void Split(const std::string& src, std::vector<std::string>& res, const std::string& pattern,
                  std::size_t maxsplit = std::string::npos) {
  res.clear();
  std::size_t start = 0;
  while (start < src.size()) {
    const std::size_t end = src.find_first_of(pattern, start);
    if (end == std::string::npos || res.size() >= maxsplit) {
      res.push_back(src.substr(start));
      return;
    }
    res.push_back(src.substr(start, end - start));
    start = end + 1;
  }
}

inline std::vector<std::string> Split(const std::string& src, const std::string& pattern,
                                      std::size_t maxsplit = std::string::npos) {
  std::vector<std::string> res;
  Split(src, res, pattern, maxsplit);
  return res;
}

// Reads `text` as one number the way strtod does, but only when the number is all of it:
// false for an empty text and for one with anything after the number ("abc", "5abc"), where
// strtod alone would give 0 or 5. `value` is what strtod read (inf or NaN when the text spells
// those; the caller decides whether they are acceptable).
inline bool ParseWholeDouble(const std::string& text, double& value) {
  const char* begin = text.c_str();
  char* end = nullptr;
  value = std::strtod(begin, &end);
  return end != begin && end == begin + text.size();
}

}  // namespace lumo::typing::text::limonp
