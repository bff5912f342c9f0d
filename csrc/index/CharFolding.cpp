#include "index/CharFolding.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "index/Utf8.h"

namespace lumo::index {

void CharTable::Set(char32_t from, char32_t to) {
  if (from == to) return;
  if (from < 0x10000 && to < 0x10000 && to != 0) {
    if (basic_.empty()) basic_.assign(0x10000, 0);
    if (basic_[from] == 0) ++size_;
    basic_[from] = static_cast<std::uint16_t>(to);
  } else {
    if (other_.emplace(from, to).second)
      ++size_;
    else
      other_[from] = to;
  }
}

CharTable CharTable::FromText(std::string_view text, const std::string& origin) {
  CharTable table;
  std::size_t line_start = 0;
  std::size_t line_number = 0;
  while (line_start < text.size()) {
    std::size_t line_end = text.find('\n', line_start);
    if (line_end == std::string_view::npos) line_end = text.size();
    std::string_view line = text.substr(line_start, line_end - line_start);
    line_start = line_end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    auto bad = [&](const char* why) {
      return std::invalid_argument(origin + " line " + std::to_string(line_number) + ": " + why);
    };
    std::size_t i = 0;
    const char32_t from = DecodeUtf8(line, i);
    if (i >= line.size() || line[i] != '\t') throw bad("expected one character, a tab and one character");
    ++i;
    if (i >= line.size()) throw bad("missing the character after the tab");
    const char32_t to = DecodeUtf8(line, i);
    if (i != line.size()) throw bad("expected one character, a tab and one character");
    if (from < 0x80 || to < 0x80) throw bad("ASCII characters are not folded by this table");
    table.Set(from, to);
  }
  return table;
}

CharTable CharTable::FromFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read the character table " + path);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return FromText(text, path);
}

void FoldText(std::string_view text, const CharTable* t2s, std::string& out) {
  out.reserve(out.size() + text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      out.push_back(byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte + ('a' - 'A')) : static_cast<char>(byte));
      ++i;
      continue;
    }
    char32_t cp = DecodeUtf8(text, i);
    if (cp >= 0xFF01 && cp <= 0xFF5E) {
      cp -= 0xFEE0;  // full-width ASCII forms
      if (cp >= 'A' && cp <= 'Z') cp += 'a' - 'A';
    } else if (cp == 0x3000) {
      cp = ' ';  // ideographic space
    } else if (t2s != nullptr) {
      cp = t2s->Map(cp);
    }
    AppendUtf8(cp, out);
  }
}

namespace {
bool IsWordCharacter(char32_t cp) {
  if (cp < 0x80) return (cp >= '0' && cp <= '9') || (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z');
  if (cp < 0xC0) return cp == 0xAA || cp == 0xB5 || cp == 0xBA;  // Latin-1 symbols and marks
  if (cp == 0xD7 || cp == 0xF7) return false;
  if (cp >= 0x2000 && cp <= 0x2BFF) return false;  // punctuation, symbols, arrows, shapes
  if (cp >= 0x3000 && cp <= 0x303F) return cp == 0x3005 || cp == 0x3006 || cp == 0x3007;  // 々〆〇
  if (cp >= 0xFE10 && cp <= 0xFE6F) return false;  // vertical, compatibility and small forms
  if (cp >= 0xFF00 && cp <= 0xFF65) {
    return (cp >= 0xFF10 && cp <= 0xFF19) || (cp >= 0xFF21 && cp <= 0xFF3A) || (cp >= 0xFF41 && cp <= 0xFF5A);
  }
  if (cp >= 0xFFF0 && cp <= 0xFFFF) return false;
  if (cp >= 0xE000 && cp <= 0xF8FF) return false;  // private use
  return true;
}
}  // namespace

bool HasWordCharacter(std::string_view term) {
  std::size_t i = 0;
  while (i < term.size()) {
    if (IsWordCharacter(DecodeUtf8(term, i))) return true;
  }
  return false;
}

}  // namespace lumo::index
