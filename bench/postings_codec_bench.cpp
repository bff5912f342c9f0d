// Decode speed and size of a saved index's postings blocks: our bit packing against StreamVByte
// (Debian libstreamvbyte-dev), on the same blocks of 128 document gaps and tf - 1 values.
//
//   g++ -O3 -std=c++17 -Icsrc bench/postings_codec_bench.cpp build/release/liblumotext_core.a \
//       -lstreamvbyte -o /tmp/postings_codec_bench
//   /tmp/postings_codec_bench SAVED_INDEX_DIR/seg_*.seg.*
//
// Full blocks only (the last, shorter block of each term is left out of both). Prints bytes per
// posting and nanoseconds per posting to decode a block into document numbers and term
// frequencies (best of 5 passes over all blocks).
#include <fcntl.h>
#include <streamvbyte.h>
#include <streamvbytedelta.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include "index/BitPacking.h"
#include "index/Segment.h"

using namespace lumo::index;

namespace {

struct Blocks {
  std::vector<std::uint32_t> first_doc;  // the document before each block's first (as its base)
  std::vector<std::uint32_t> gaps;       // kBlockSize per block: doc - previous doc - 1
  std::vector<std::uint32_t> tf_minus_one;
};

template <class F>
double BestNanosPerPosting(std::size_t postings, F&& pass) {
  double best = 1e300;
  for (int round = 0; round < 5; ++round) {
    const auto start = std::chrono::steady_clock::now();
    pass();
    const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    best = std::min(best, ns / static_cast<double>(postings));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  Blocks blocks;
  for (int a = 1; a < argc; ++a) {
    const int fd = open(argv[a], O_RDONLY);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
      std::perror(argv[a]);
      return 1;
    }
    void* mapped = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    const Segment segment(std::string_view(static_cast<const char*>(mapped), static_cast<std::size_t>(st.st_size)),
                          nullptr);
    std::vector<std::uint32_t> docs, tfs;
    for (std::uint32_t t = 0; t < segment.term_count(); ++t) {
      docs.clear();
      tfs.clear();
      segment.ForEach(segment.entry(t), [&](std::uint32_t doc, std::uint32_t tf) {
        docs.push_back(doc);
        tfs.push_back(tf);
      });
      for (std::size_t start = 0; start + kBlockSize <= docs.size(); start += kBlockSize) {
        std::uint32_t previous = start == 0 ? 0 : docs[start - 1] + 1;
        blocks.first_doc.push_back(previous);
        for (std::size_t i = start; i < start + kBlockSize; ++i) {
          blocks.gaps.push_back(docs[i] - previous);
          previous = docs[i] + 1;
          blocks.tf_minus_one.push_back(tfs[i] - 1);
        }
      }
    }
  }
  const std::size_t block_count = blocks.first_doc.size();
  const std::size_t postings = block_count * kBlockSize;
  if (postings == 0) return 1;

  // Our layout: per block both widths, then the packed gaps and the packed tf - 1.
  std::vector<std::uint32_t> packed;
  std::vector<std::uint8_t> widths;
  std::vector<std::size_t> packed_at;
  for (std::size_t b = 0; b < block_count; ++b) {
    const std::uint32_t* gaps = &blocks.gaps[b * kBlockSize];
    const std::uint32_t* tfs = &blocks.tf_minus_one[b * kBlockSize];
    const unsigned doc_bits = BitsFor(*std::max_element(gaps, gaps + kBlockSize));
    const unsigned tf_bits = BitsFor(*std::max_element(tfs, tfs + kBlockSize));
    widths.push_back(static_cast<std::uint8_t>(doc_bits));
    widths.push_back(static_cast<std::uint8_t>(tf_bits));
    packed_at.push_back(packed.size());
    const std::size_t at = packed.size();
    packed.resize(at + PackedWords(kBlockSize, doc_bits) + PackedWords(kBlockSize, tf_bits));
    PackBits(gaps, kBlockSize, doc_bits, &packed[at]);
    PackBits(tfs, kBlockSize, tf_bits, &packed[at + PackedWords(kBlockSize, doc_bits)]);
  }
  // StreamVByte: the document numbers delta-coded from the block's base, then the tf - 1.
  std::vector<std::uint8_t> svb(block_count * 2 * streamvbyte_max_compressedbytes(kBlockSize));
  std::vector<std::size_t> svb_at, svb_tf_at;
  std::size_t svb_size = 0;
  for (std::size_t b = 0; b < block_count; ++b) {
    std::uint32_t docs[kBlockSize];
    std::uint32_t previous = blocks.first_doc[b];
    for (std::uint32_t i = 0; i < kBlockSize; ++i) {
      docs[i] = previous + blocks.gaps[b * kBlockSize + i];
      previous = docs[i] + 1;
    }
    svb_at.push_back(svb_size);
    svb_size += streamvbyte_delta_encode(docs, kBlockSize, &svb[svb_size], blocks.first_doc[b]);
    svb_tf_at.push_back(svb_size);
    svb_size += streamvbyte_encode(&blocks.tf_minus_one[b * kBlockSize], kBlockSize, &svb[svb_size]);
  }

  std::uint32_t docs[kBlockSize], tfs[kBlockSize];
  std::uint64_t check_ours = 0, check_svb = 0;
  const double ours_ns = BestNanosPerPosting(postings, [&] {
    for (std::size_t b = 0; b < block_count; ++b) {
      const std::uint32_t* words = &packed[packed_at[b]];
      UnpackBlock<kBlockSize>(words, widths[2 * b], docs);
      UnpackBlock<kBlockSize>(words + PackedWords(kBlockSize, widths[2 * b]), widths[2 * b + 1], tfs);
      std::uint32_t next = blocks.first_doc[b];
      for (std::uint32_t i = 0; i < kBlockSize; ++i) {
        docs[i] += next;
        next = docs[i] + 1;
      }
      for (std::uint32_t i = 0; i < kBlockSize; ++i) tfs[i] += 1;
      check_ours += docs[kBlockSize - 1] + tfs[kBlockSize / 2];
    }
  });
  const double svb_ns = BestNanosPerPosting(postings, [&] {
    for (std::size_t b = 0; b < block_count; ++b) {
      streamvbyte_delta_decode(&svb[svb_at[b]], docs, kBlockSize, blocks.first_doc[b]);
      streamvbyte_decode(&svb[svb_tf_at[b]], tfs, kBlockSize);
      for (std::uint32_t i = 0; i < kBlockSize; ++i) tfs[i] += 1;
      check_svb += docs[kBlockSize - 1] + tfs[kBlockSize / 2];
    }
  });
  // StreamVByte's delta coding stores doc - previous doc (gap + 1): the same documents either way.
  std::printf("blocks %zu, postings %zu (full blocks), decoded alike: %s\n", block_count, postings,
              check_ours == check_svb ? "yes" : "NO");
  std::printf("bit packing: %.3f bytes/posting (+2 bytes of widths per block), %.2f ns/posting\n",
              4.0 * static_cast<double>(packed.size()) / static_cast<double>(postings), ours_ns);
  std::printf("StreamVByte: %.3f bytes/posting, %.2f ns/posting\n",
              static_cast<double>(svb_size) / static_cast<double>(postings), svb_ns);
  return 0;
}
