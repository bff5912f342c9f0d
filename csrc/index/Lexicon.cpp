#include "index/Lexicon.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "index/Errors.h"

namespace lumo::index {

namespace {

constexpr std::uint64_t kTableMagic = 0x3130534D52455455ULL;  // "UTERMS01"
constexpr std::size_t kMostTables = 8;

std::uint64_t Padded8(std::uint64_t bytes) { return (bytes + 7) / 8 * 8; }

}  // namespace

TermTable::TermTable(std::string name, std::string_view bytes, std::shared_ptr<const void> owner)
    : name_(std::move(name)), bytes_(bytes), owner_(std::move(owner)) {
  auto bad = [this](const char* why) { return CorruptIndex("damaged index term table " + name_ + ": " + why); };
  std::uint64_t header[3];
  if (bytes.size() < sizeof(header)) throw bad("shorter than its header");
  if (reinterpret_cast<std::uintptr_t>(bytes.data()) % 8 != 0) throw bad("not 8-byte aligned");
  std::memcpy(header, bytes.data(), sizeof(header));
  if (header[0] != kTableMagic) throw bad("not a term table of this format");
  count_ = header[1];
  text_size_ = header[2];
  if (count_ >= kNoTerm || text_size_ > bytes.size()) throw bad("counts larger than the table");
  const std::uint64_t expected = sizeof(header) + Padded8(count_ * 4 + (count_ + 1) * 4) + text_size_;
  if (expected != bytes.size()) throw bad("its size does not match its counts");
  ids_ = reinterpret_cast<const std::uint32_t*>(bytes.data() + sizeof(header));
  offsets_ = ids_ + count_;
  text_ = bytes.data() + sizeof(header) + Padded8(count_ * 4 + (count_ + 1) * 4);
}

std::string_view TermTable::Text(std::uint64_t i) const {
  const std::uint32_t begin = offsets_[i], end = offsets_[i + 1];
  if (begin > end || end > text_size_) return {};  // damaged: an empty term matches no query term
  return std::string_view(text_ + begin, end - begin);
}

std::uint32_t TermTable::Find(std::string_view term) const {
  std::uint64_t lo = 0, hi = count_;
  while (lo < hi) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    const int c = Text(mid).compare(term);
    if (c == 0) return ids_[mid];
    if (c < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  return kNoTerm;
}

std::shared_ptr<const std::string> TermTable::Build(std::vector<std::pair<std::string_view, std::uint32_t>> terms) {
  std::sort(terms.begin(), terms.end());
  std::uint64_t text_size = 0;
  for (const auto& term : terms) text_size += term.first.size();
  if (text_size > 0xFFFFFFFFu) throw InvalidArgument("the terms are too long for one table");
  const std::uint64_t n = terms.size();
  const std::uint64_t header[3] = {kTableMagic, n, text_size};
  auto out = std::make_shared<std::string>(sizeof(header) + Padded8(n * 4 + (n + 1) * 4) + text_size, '\0');
  char* base = out->data();
  std::memcpy(base, header, sizeof(header));
  auto* ids = reinterpret_cast<std::uint32_t*>(base + sizeof(header));
  std::uint32_t* offsets = ids + n;
  char* text = base + sizeof(header) + Padded8(n * 4 + (n + 1) * 4);
  std::uint32_t at = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    ids[i] = terms[i].second;
    offsets[i] = at;
    std::memcpy(text + at, terms[i].first.data(), terms[i].first.size());
    at += static_cast<std::uint32_t>(terms[i].first.size());
  }
  offsets[n] = at;
  return out;
}

std::uint32_t Lexicon::Find(std::string_view term) const {
  if (!added_ids_.empty()) {
    auto it = added_ids_.find(term);
    if (it != added_ids_.end()) return it->second;
  }
  for (const TermTable& table : tables_) {
    // A saved id the dictionary never gave out can only be damage: that entry reads as absent
    // (checked here rather than for every id when a table is opened).
    const std::uint32_t id = table.Find(term);
    if (id < next_id_) return id;
  }
  return kNoTerm;
}

std::uint32_t Lexicon::Intern(std::string_view term) {
  std::uint32_t id = Find(term);
  if (id != kNoTerm) return id;
  if (next_id_ > kLargestTermId) throw InvalidArgument("the index holds the largest number of terms it can");
  id = next_id_++;
  added_.emplace_back(term);
  added_ids_.emplace(added_.back(), id);
  return id;
}

void Lexicon::SealAdded(const std::string& name) {
  if (added_.empty() && tables_.size() <= kMostTables) return;
  std::vector<std::pair<std::string_view, std::uint32_t>> terms;
  if (tables_.size() + 1 > kMostTables) {
    terms = AllTerms();
  } else {
    terms.reserve(added_ids_.size());
    for (const auto& [text, id] : added_ids_) terms.emplace_back(text, id);
  }
  auto bytes = TermTable::Build(std::move(terms));
  TermTable table(name, *bytes, bytes);
  if (tables_.size() + 1 > kMostTables) tables_.clear();
  tables_.push_back(std::move(table));
  added_ids_.clear();
  added_.clear();
}

void Lexicon::Restore(std::vector<TermTable> tables, std::uint32_t next_id) {
  tables_ = std::move(tables);
  added_.clear();
  added_ids_.clear();
  next_id_ = next_id;
}

std::vector<std::pair<std::string_view, std::uint32_t>> Lexicon::AllTerms() const {
  std::vector<std::pair<std::string_view, std::uint32_t>> terms;
  for (const TermTable& table : tables_) {
    for (std::uint64_t i = 0; i < table.size(); ++i) terms.emplace_back(table.Text(i), table.Id(i));
  }
  for (const auto& [text, id] : added_ids_) terms.emplace_back(text, id);
  return terms;
}

}  // namespace lumo::index
