#pragma once

// The arrays of an InvertedIndex as saved: one flat little-endian array per file, so that
// loading maps them instead of reading and parsing. They are the files of its commit payload
// (InvertedIndexPayload.cpp) and, beside a manifest.json, the whole first saved format.
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
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "index/InvertedIndex.h"

namespace lumo::index {

inline constexpr std::array<const char*, 8> kIndexFileNames = {
    "term_text.bin",    "term_offsets.u64", "term_order.u32",  "posting_offsets.u64",
    "posting_docs.u32", "posting_tfs.u32",  "doc_lengths.u32", "live.u8"};

// The contents of the eight files, in kIndexFileNames order, as byte views that stay valid
// while `owner` lives. Every view must start at an 8-byte-aligned address.
struct IndexFileBytes {
  std::array<std::string_view, 8> files;
  std::shared_ptr<const void> owner;
};

// Checks the file sizes against each other and builds the index over the bytes. Throws
// std::invalid_argument describing the first inconsistency.
std::unique_ptr<InvertedIndex> IndexFromFiles(const IndexFileBytes& bytes, double k1, double b);

}  // namespace lumo::index
