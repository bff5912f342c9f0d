#pragma once

// The arrays of an index saved by the first format: one flat little-endian array per file,
// beside its manifest.json (FirstFormat.h). Nothing writes them any more; a load converts them
// into a segment (InvertedIndex::FromFirstFormat).
//
//   term_text.bin        the terms' UTF-8 text, concatenated in term-id order
//   term_offsets.u64     n_terms + 1 byte offsets into term_text.bin
//   term_order.u32       term ids in ascending byte order of their text (for lookups)
//   posting_offsets.u64  n_terms + 1 offsets into the posting arrays
//   posting_docs.u32     document numbers, ascending within a term
//   posting_tfs.u32      term frequencies, parallel to posting_docs
//   doc_lengths.u32      terms per document: words, bigrams
//   live.u8              1 for a live document, 0 for a removed one
#include <array>

namespace lumo::index {

inline constexpr std::array<const char*, 8> kIndexFileNames = {
    "term_text.bin",    "term_offsets.u64", "term_order.u32",  "posting_offsets.u64",
    "posting_docs.u32", "posting_tfs.u32",  "doc_lengths.u32", "live.u8"};

}  // namespace lumo::index
