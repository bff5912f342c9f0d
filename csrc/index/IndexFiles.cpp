#include "index/IndexFiles.h"

#include <stdexcept>

namespace lumo::index {

std::unique_ptr<InvertedIndex> IndexFromFiles(const IndexFileBytes& bytes, double k1, double b) {
  auto bad = [](const std::string& why) { return std::invalid_argument("damaged index: " + why); };
  const auto& f = bytes.files;
  for (std::size_t i = 0; i < f.size(); ++i) {
    if (reinterpret_cast<std::uintptr_t>(f[i].data()) % 8 != 0)
      throw bad(std::string(kIndexFileNames[i]) + " is not aligned");
  }
  auto element_count = [&](std::size_t i, std::size_t width) {
    if (f[i].size() % width != 0) throw bad(std::string(kIndexFileNames[i]) + " has a partial element");
    return static_cast<std::uint64_t>(f[i].size() / width);
  };
  IndexArrays a;
  a.n_terms = element_count(2, 4);
  if (element_count(1, 8) != a.n_terms + 1) throw bad("term_offsets.u64 does not match the term count");
  if (element_count(3, 8) != a.n_terms + 1) throw bad("posting_offsets.u64 does not match the term count");
  a.n_postings = element_count(4, 4);
  if (element_count(5, 4) != a.n_postings) throw bad("posting_tfs.u32 does not match posting_docs.u32");
  a.n_docs = element_count(6, 8);  // two lengths per document
  if (element_count(7, 1) != a.n_docs) throw bad("live.u8 does not match doc_lengths.u32");
  a.term_text = f[0].data();
  a.term_text_size = f[0].size();
  a.term_offsets = reinterpret_cast<const std::uint64_t*>(f[1].data());
  a.term_order = reinterpret_cast<const std::uint32_t*>(f[2].data());
  a.posting_offsets = reinterpret_cast<const std::uint64_t*>(f[3].data());
  a.posting_docs = reinterpret_cast<const std::uint32_t*>(f[4].data());
  a.posting_tfs = reinterpret_cast<const std::uint32_t*>(f[5].data());
  a.doc_lengths = reinterpret_cast<const std::uint32_t*>(f[6].data());
  a.live = reinterpret_cast<const std::uint8_t*>(f[7].data());
  return InvertedIndex::FromArrays(a, bytes.owner, k1, b);
}

}  // namespace lumo::index
