#pragma once

// Character folding ahead of segmentation: full-width ASCII forms to ASCII, ASCII upper case to
// lower case, and Traditional characters to Simplified ones by a one-to-one table.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace lumo::index {

// A code-point-to-code-point table. Basic-plane characters are looked up in a flat array (one
// load per character); the few others in a map.
class CharTable {
 public:
  CharTable() = default;

  // Reads UTF-8 lines `from<TAB>to` (one code point each); lines starting with '#' and empty
  // lines are skipped. Throws std::invalid_argument naming the line for anything else, and
  // std::runtime_error when the file cannot be read.
  static CharTable FromFile(const std::string& path);
  static CharTable FromText(std::string_view text, const std::string& origin);

  void Set(char32_t from, char32_t to);
  char32_t Map(char32_t cp) const {
    if (cp < 0x10000) {
      if (basic_.empty()) return cp;
      const std::uint16_t to = basic_[cp];
      return to == 0 ? cp : to;
    }
    if (other_.empty()) return cp;
    auto it = other_.find(cp);
    return it == other_.end() ? cp : it->second;
  }
  std::size_t size() const { return size_; }

 private:
  std::vector<std::uint16_t> basic_;  // 0 = unchanged
  std::unordered_map<char32_t, char32_t> other_;
  std::size_t size_ = 0;
};

// Appends the folded `text` to `out`.
void FoldText(std::string_view text, const CharTable* t2s, std::string& out);

// True when the term holds at least one letter, digit or ideograph, i.e. it is not made only of
// whitespace, punctuation and symbols.
bool HasWordCharacter(std::string_view term);

}  // namespace lumo::index
