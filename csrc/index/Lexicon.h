#pragma once

// The term dictionary: term text to term id. Ids are given out 0, 1, 2, ... as terms first
// appear and never change while the index lives; segments store ids, not text.
//
// Saved terms live in sorted tables (each one byte string, built in memory or mapped from its
// file), looked up by binary search, so opening a saved dictionary costs nothing per term;
// terms added since the last save are in a hash table until the next save turns them into a
// table. Table layout: u64 magic, u64 n, u64 text bytes; u32 ids[n] (ascending text);
// u32 offsets[n + 1] into the text (padded to 8 bytes); the text.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumo::index {

inline constexpr std::uint32_t kNoTerm = 0xFFFFFFFFu;
// Segments keep a term's field in the top bit of its id's word, so ids stay below 2^31.
inline constexpr std::uint32_t kLargestTermId = 0x7FFFFFFFu;

class TermTable {
 public:
  // Throws CorruptIndex when the header does not describe `bytes` exactly.
  TermTable(std::string name, std::string_view bytes, std::shared_ptr<const void> owner);
  // A table of `terms` (distinct) with their ids.
  static std::shared_ptr<const std::string> Build(std::vector<std::pair<std::string_view, std::uint32_t>> terms);

  std::uint32_t Find(std::string_view term) const;
  std::uint64_t size() const { return count_; }
  std::string_view Text(std::uint64_t i) const;
  std::uint32_t Id(std::uint64_t i) const { return ids_[i]; }
  const std::string& name() const { return name_; }
  std::string_view bytes() const { return bytes_; }
  const std::shared_ptr<const void>& owner() const { return owner_; }

 private:
  std::string name_;
  std::string_view bytes_;
  std::shared_ptr<const void> owner_;
  std::uint64_t count_ = 0;
  const std::uint32_t* ids_ = nullptr;
  const std::uint32_t* offsets_ = nullptr;
  const char* text_ = nullptr;
  std::uint64_t text_size_ = 0;
};

// The terms given ids since the last seal, whose ids run on from `first_id`: their text packed
// in chunks, one 8-byte location per term, and an open-addressing table of their positions.
// About 25 bytes a term where a node-based hash map of strings takes about 90, which matters
// when one long document of rare characters brings millions of new bigrams.
class AddedTerms {
 public:
  void Reset(std::uint32_t first_id);
  std::uint32_t Find(std::string_view term) const;  // kNoTerm when absent
  void Add(std::string_view term);                  // given the id first_id() + size()
  // Drops the terms added after the first `size`, as if they had never been added.
  void Truncate(std::size_t size);
  // The table that `more` further terms need, built from the terms held now: it only reads
  // them, so lookups may go on meanwhile. Empty when the current table has room already.
  // InstallSlots puts it in place (with no term added in between).
  std::vector<std::uint32_t> SlotsWithRoomFor(std::size_t more) const;
  void InstallSlots(std::vector<std::uint32_t> slots);
  bool empty() const { return locations_.empty(); }
  std::size_t size() const { return locations_.size(); }
  std::string_view Text(std::size_t i) const;
  std::uint32_t first_id() const { return first_id_; }

 private:
  std::uint64_t Store(std::string_view term);
  void Grow();
  std::vector<std::uint32_t> Placed(std::size_t slot_count) const;  // a table of that size (a power of two)

  // Chunk (high 24 bits), offset in it (16 bits), length (low 24 bits; all ones: the whole
  // chunk, for a term given a chunk of its own).
  std::vector<std::uint64_t> locations_;
  std::vector<std::string> chunks_;   // each filled within the room reserved for it, so never moved
  std::vector<std::uint32_t> slots_;  // 0 empty, else position + 1; a power of two, at most half full
  std::uint32_t first_id_ = 0;
};

class Lexicon {
 public:
  std::uint32_t Find(std::string_view term) const;
  // The id of `term`, given out now if it is new.
  std::uint32_t Intern(std::string_view term);
  std::uint32_t next_id() const { return next_id_; }
  // For a writer about to give ids to up to `more` new terms: the room they need is made
  // ahead, outside the readers' lock, and installed under it; growing while holding that lock
  // would keep searches waiting while millions of terms are placed again.
  std::vector<std::uint32_t> SlotsWithRoomFor(std::size_t more) const { return added_.SlotsWithRoomFor(more); }
  void InstallSlots(std::vector<std::uint32_t> slots) { added_.InstallSlots(std::move(slots)); }
  // Takes back the ids from `id` on, given out since the last seal (an add that failed
  // part way): the next new term gets `id` again.
  void ForgetSince(std::uint32_t id);

  // Turns the terms added since the last call into a table named `name`; merges all tables
  // into one when there are many, so lookups stay few.
  void SealAdded(const std::string& name);
  const std::vector<TermTable>& tables() const { return tables_; }

  // For loading: the saved tables and the next id to give out.
  void Restore(std::vector<TermTable> tables, std::uint32_t next_id);

  // Every term with its id (tables and added terms), for renumbering.
  std::vector<std::pair<std::string_view, std::uint32_t>> AllTerms() const;

 private:
  std::vector<TermTable> tables_;
  AddedTerms added_;
  std::uint32_t next_id_ = 0;
};

}  // namespace lumo::index
