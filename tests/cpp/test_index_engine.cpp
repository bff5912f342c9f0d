// The segmented engine: bit packing and posting cursors against plain arrays, pruned top-k
// against the exhaustive scorer on random corpora with removals, merges and reloads, df kept
// exact over live documents, and the limits checked before any work.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../../fuzz/IndexLoaderCheck.h"
#include "index/BitPacking.h"
#include "index/Errors.h"
#include "index/InvertedIndex.h"
#include "index/Segment.h"

namespace {

using lumo::fuzz::FuzzAnalyzer;
using lumo::index::InvertedIndex;
using lumo::index::ScoredDocument;

TEST(BitPacking, EveryWidthRoundTrips) {
  std::mt19937 random(7);
  for (unsigned bits = 0; bits <= 32; ++bits) {
    for (std::size_t count : {1u, 5u, 127u, 128u}) {
      std::vector<std::uint32_t> values(count);
      for (auto& v : values) v = bits == 0 ? 0 : static_cast<std::uint32_t>(random()) >> (32 - bits);
      std::vector<std::uint32_t> words(lumo::index::PackedWords(count, bits) + 1, 0xDEADBEEF);
      lumo::index::PackBits(values.data(), count, bits, words.data());
      EXPECT_EQ(words.back(), 0xDEADBEEF) << "wrote past its words, bits " << bits;
      std::vector<std::uint32_t> back(count, 1);
      lumo::index::UnpackBits(words.data(), count, bits, back.data());
      EXPECT_EQ(back, values) << "bits " << bits << " count " << count;
      if (count == lumo::index::kBlockSize) {
        std::vector<std::uint32_t> unrolled(count, 1);
        lumo::index::UnpackBlock<lumo::index::kBlockSize>(words.data(), bits, unrolled.data());
        EXPECT_EQ(unrolled, values) << "the unrolled decoder, bits " << bits;
      }
    }
  }
}

// Document lengths read back exactly at every width the segment packs them in (none, odd widths
// that straddle words, the full 32 bits), and a segment written with them unpacked still reads.
TEST(SegmentLengths, PackedAtEveryWidthAndUnpackedOnesStillRead) {
  std::mt19937 random(3);
  for (std::uint32_t doc_count : {1u, 7u, 64u, 1000u}) {
    for (std::uint32_t largest : {0u, 1u, 5u, 1000u, 0x7FFFFu, 0xFFFFFFFFu}) {
      std::vector<std::uint32_t> lengths(2 * doc_count);
      for (std::size_t i = 0; i < lengths.size(); ++i) {
        lengths[i] = (i % 2 == 0) ? static_cast<std::uint32_t>(random() % (std::uint64_t{largest} + 1))
                                  : static_cast<std::uint32_t>(random() % 3);
      }
      lengths[0] = largest;
      const auto bytes = lumo::index::BuildSegment(doc_count, std::vector<lumo::index::TermPostingsInput>{}, lengths);
      const lumo::index::Segment segment(*bytes, bytes);
      for (std::uint32_t doc = 0; doc < doc_count; ++doc) {
        ASSERT_EQ(segment.Length(doc, 0), lengths[2 * doc]) << doc_count << " " << largest << " doc " << doc;
        ASSERT_EQ(segment.Length(doc, 1), lengths[2 * doc + 1]) << doc_count << " " << largest << " doc " << doc;
      }
      EXPECT_EQ(segment.Length(doc_count, 0), 0u);
    }
  }
  // The earlier layout: header with its own magic, no terms, lengths as u32 pairs.
  const std::vector<std::uint32_t> lengths = {3, 1, 70000, 0, 9, 2};
  std::string old(48 + lengths.size() * 4, '\0');
  const std::uint64_t header[6] = {0x3130474553554D4CULL, 3, 0, 0, 0, 0};
  std::memcpy(old.data(), header, sizeof(header));
  std::memcpy(old.data() + 48, lengths.data(), lengths.size() * 4);
  auto owned = std::make_shared<const std::string>(old);
  const lumo::index::Segment segment(*owned, owned);
  for (std::uint32_t doc = 0; doc < 3; ++doc) {
    EXPECT_EQ(segment.Length(doc, 0), lengths[2 * doc]);
    EXPECT_EQ(segment.Length(doc, 1), lengths[2 * doc + 1]);
  }
  // A packed segment whose widths are out of range or whose size disagrees with them is refused.
  std::string bad = *lumo::index::BuildSegment(3, std::vector<lumo::index::TermPostingsInput>{}, lengths);
  for (const std::uint64_t widths :
       {std::uint64_t{33}, std::uint64_t{2} | (std::uint64_t{40} << 8), std::uint64_t{32} | (std::uint64_t{32} << 8)}) {
    std::string copy = bad;
    std::memcpy(copy.data() + 48, &widths, 8);
    auto held = std::make_shared<const std::string>(copy);
    EXPECT_THROW(lumo::index::Segment(*held, held), lumo::index::CorruptIndex) << widths;
  }
}

// Cursor moves over a long list agree with a search of the plain array.
TEST(PostingCursor, AdvanceAndShallowAdvanceAgreeWithTheList) {
  std::mt19937 random(11);
  const std::uint32_t doc_count = 50000;
  lumo::index::TermPostingsInput term{3, 0, {}, {}};
  for (std::uint32_t doc = 0; doc < doc_count; doc += 1 + random() % (random() % 2 ? 3 : 700)) {
    term.docs.push_back(doc);
    term.tfs.push_back(1 + random() % (random() % 50 ? 3 : 100000));
  }
  std::vector<std::uint32_t> lengths(2 * doc_count);
  for (auto& length : lengths) length = 1 + random() % 40;
  const auto bytes = lumo::index::BuildSegment(doc_count, {term}, lengths);
  const lumo::index::Segment segment(*bytes, bytes);
  const lumo::index::TermEntry* entry = segment.Find(3);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(segment.Find(4), nullptr);
  EXPECT_EQ(entry->df, term.docs.size());
  std::vector<std::uint32_t> seen;
  segment.ForEach(*entry, [&](std::uint32_t doc, std::uint32_t tf) {
    seen.push_back(doc);
    EXPECT_EQ(tf, term.tfs[seen.size() - 1]);
  });
  EXPECT_EQ(seen, term.docs);
  lumo::index::PostingCursor cursor;
  cursor.Open(segment, *entry);
  std::uint32_t target = 0;
  while (true) {
    target += random() % 2000;
    const auto it = std::lower_bound(term.docs.begin(), term.docs.end(), target);
    if (cursor.ShallowAdvance(target)) {
      // The block bound covers the posting Advance then lands on.
      cursor.Advance(target);
      ASSERT_NE(it, term.docs.end());
      const std::uint32_t tf = std::min<std::uint32_t>(term.tfs[it - term.docs.begin()], lumo::index::kSaturatedTf);
      const lumo::index::BlockMeta& bounds = cursor.block_bounds();
      bool covered = false;
      for (int i = 0; i < lumo::index::kBoundPairs; ++i) {
        covered |= bounds.tf[i] >= tf && bounds.length[i] <= lengths[2 * *it];
      }
      EXPECT_TRUE(covered) << "doc " << *it;
    } else {
      cursor.Advance(target);
    }
    if (it == term.docs.end()) {
      EXPECT_EQ(cursor.doc(), lumo::index::kNoDocument);
      break;
    }
    ASSERT_EQ(cursor.doc(), *it) << "target " << target;
    EXPECT_EQ(cursor.tf(), term.tfs[it - term.docs.begin()]);
  }
}

// A walk through the decoded runs (run_docs/run_tfs, Consume) visits the postings Next does,
// whether runs are taken whole or in part.
TEST(PostingCursor, RunsVisitEveryPostingOnce) {
  std::mt19937 random(13);
  const std::uint32_t doc_count = 20000;
  lumo::index::TermPostingsInput term{1, 1, {}, {}};
  for (std::uint32_t doc = random() % 5; doc < doc_count; doc += 1 + random() % 40) {
    term.docs.push_back(doc);
    term.tfs.push_back(1 + random() % 4);
  }
  const std::vector<std::uint32_t> lengths(2 * doc_count, 7);
  const auto bytes = lumo::index::BuildSegment(doc_count, {term}, lengths);
  const lumo::index::Segment segment(*bytes, bytes);
  lumo::index::PostingCursor cursor;
  cursor.Open(segment, *segment.Find(1));
  std::vector<std::uint32_t> docs, tfs;
  while (cursor.doc() != lumo::index::kNoDocument) {
    ASSERT_GT(cursor.run_length(), 0u);
    EXPECT_EQ(cursor.run_docs()[0], cursor.doc());
    const std::uint32_t take = 1 + random() % cursor.run_length();
    for (std::uint32_t j = 0; j < take; ++j) {
      docs.push_back(cursor.run_docs()[j]);
      tfs.push_back(cursor.run_tfs()[j]);
    }
    cursor.Consume(take);
  }
  EXPECT_EQ(cursor.run_length(), 0u);
  EXPECT_EQ(docs, term.docs);
  EXPECT_EQ(tfs, term.tfs);
}

// Words of the fuzz tokenizer's dictionary, and words it does not know (new terms).
const std::vector<std::string> kWords = {"中", "国", "人", "中国", "中国人", "ab", "ab", "x1", "y2", "中中"};

std::string RandomText(std::mt19937& random, int most_words) {
  std::string text;
  const int n = 1 + static_cast<int>(random() % most_words);
  for (int i = 0; i < n; ++i) {
    text += (random() % 4 == 0 ? "w" + std::to_string(random() % 40) : kWords[random() % kWords.size()]) + " ";
  }
  return text;
}

void ExpectSameRanking(const std::vector<ScoredDocument>& pruned, const std::vector<ScoredDocument>& exhaustive,
                       const std::string& where) {
  ASSERT_EQ(pruned.size(), exhaustive.size()) << where;
  for (std::size_t i = 0; i < pruned.size(); ++i) {
    EXPECT_EQ(pruned[i].doc, exhaustive[i].doc) << where << " rank " << i;
    EXPECT_EQ(pruned[i].score, exhaustive[i].score) << where << " rank " << i;
  }
}

void ExpectPrunedEqualsExhaustive(InvertedIndex& index, std::mt19937& random, const std::string& where) {
  // Every segment through the pruned pass (the default leaves small ones to the accumulators),
  // in windows from one document to more than a segment holds.
  index.set_prune_from_documents(random() % 2 ? 0 : 100);
  lumo::index::AnalyzedText analyzed;
  for (int q = 0; q < 40; ++q) {
    const std::uint32_t windows[] = {1, 7, 64, 500, lumo::index::kSearchWindow};
    index.set_search_window(windows[random() % 5]);
    const std::string query = RandomText(random, 12);
    FuzzAnalyzer()->Analyze(query, analyzed);
    for (std::size_t k : {1u, 3u, 10u, 1000u}) {
      const auto pruned = index.Search(query, *FuzzAnalyzer(), k);
      const auto exhaustive = index.SearchExhaustive(analyzed.terms, k, FuzzAnalyzer()->settings().bigram_weight);
      ExpectSameRanking(pruned, exhaustive, where + " query '" + query + "' k " + std::to_string(k));
    }
  }
}

class PrunedSearch : public ::testing::TestWithParam<int> {};

// Random corpora built by adds of random sizes (many segments, merged as they grow), with
// random removals, a reload and a merge of two indexes: the pruned search gives exactly the
// exhaustive ranking at every stage.
TEST_P(PrunedSearch, EqualsExhaustiveThroughAddsRemovesReloadsAndMerges) {
  std::mt19937 random(static_cast<unsigned>(GetParam()));
  auto index = std::make_unique<InvertedIndex>(1.2, 0.75);
  for (int batch = 0; batch < 40; ++batch) {
    std::vector<std::string> texts;
    const int n = batch % 7 == 0 ? 300 : 1 + static_cast<int>(random() % 30);
    for (int i = 0; i < n; ++i) texts.push_back(RandomText(random, random() % 5 == 0 ? 60 : 8));
    index->Add(texts, *FuzzAnalyzer(), 1 + random() % 3);
    if (batch % 5 == 4) {
      std::vector<std::uint32_t> live = index->LiveDocuments();
      std::shuffle(live.begin(), live.end(), random);
      live.resize(live.size() / 6);
      index->Remove({live.begin(), live.end()});
    }
  }
  ExpectPrunedEqualsExhaustive(*index, random, "built");
  const auto payload = lumo::fuzz::SplitPayloadInput(lumo::fuzz::PayloadInput(index->ToCommitPayload()));
  auto loaded = InvertedIndex::FromCommitPayload(payload.opened, 1.2, 0.75);
  std::vector<std::uint32_t> live = loaded->LiveDocuments();
  loaded->Remove({live[live.size() / 2]});
  ExpectPrunedEqualsExhaustive(*loaded, random, "loaded");
  auto merged = InvertedIndex::Merge({loaded.get(), index.get()}, 1.2, 0.75);
  ExpectPrunedEqualsExhaustive(*merged, random, "merged");
  merged->MergeAllSegments();
  EXPECT_EQ(merged->Stats().segments, 1u);
  ExpectPrunedEqualsExhaustive(*merged, random, "merged into one segment");
}
INSTANTIATE_TEST_SUITE_P(Seeds, PrunedSearch, ::testing::Values(1, 2, 3, 4));

// Long queries over a larger corpus of words with skewed frequencies, as real sentence queries
// are: many terms with close bounds, so the windows split them into essential and
// non-essential ones in every way. Every window size, k and thread count gives exactly the
// exhaustive ranking, before and after removals.
TEST(PrunedSearch, LongQueriesOverSkewedWordsEqualExhaustive) {
  std::mt19937 random(17);
  auto word = [&] {
    // Roughly Zipf: small numbers far more often.
    const double u = std::uniform_real_distribution<double>(0.0, 1.0)(random);
    return "w" + std::to_string(static_cast<int>(std::pow(400.0, u)) - 1);
  };
  auto text = [&](int least, int most) {
    std::string out;
    const int n = least + static_cast<int>(random() % static_cast<unsigned>(most - least + 1));
    for (int i = 0; i < n; ++i) out += word() + " ";
    return out;
  };
  InvertedIndex index(1.2, 0.75);
  for (int batch = 0; batch < 3; ++batch) {
    std::vector<std::string> texts;
    for (int i = 0; i < 3000; ++i) texts.push_back(text(3, 40));
    index.Add(texts, *FuzzAnalyzer(), 2);
  }
  index.set_prune_from_documents(0);
  std::vector<std::string> queries;
  for (int q = 0; q < 25; ++q) queries.push_back(text(15, 30));
  lumo::index::AnalyzedText analyzed;
  for (int round = 0; round < 2; ++round) {
    for (std::uint32_t window : {64u, 1000u, lumo::index::kSearchWindow}) {
      index.set_search_window(window);
      for (std::size_t k : {1u, 10u, 100u}) {
        std::vector<std::vector<ScoredDocument>> many;
        index.SearchMany(queries, *FuzzAnalyzer(), k, 2, many);
        for (std::size_t q = 0; q < queries.size(); ++q) {
          FuzzAnalyzer()->Analyze(queries[q], analyzed);
          const auto exhaustive = index.SearchExhaustive(analyzed.terms, k, FuzzAnalyzer()->settings().bigram_weight);
          ASSERT_EQ(exhaustive.size(), k);
          const std::string where = "round " + std::to_string(round) + " window " + std::to_string(window) + " k " +
                                    std::to_string(k) + " query " + std::to_string(q);
          ExpectSameRanking(index.Search(queries[q], *FuzzAnalyzer(), k), exhaustive, where);
          ExpectSameRanking(many[q], exhaustive, where + " (search_many)");
        }
      }
    }
    std::vector<std::uint32_t> live = index.LiveDocuments();
    std::shuffle(live.begin(), live.end(), random);
    live.resize(live.size() / 5);
    index.Remove({live.begin(), live.end()});
  }
}

// Block headers keep a bound's tf in a byte and its length in 16 bits, saturated so the bound
// still holds: documents longer than 65,535 terms and terms repeated hundreds of times in one
// document are still ranked exactly as the exhaustive scorer ranks them.
TEST(PrunedSearch, TermFrequenciesAndLengthsPastTheHeadersRangeEqualExhaustive) {
  std::mt19937 random(23);
  auto repeated = [](const std::string& word, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += word + " ";
    return out;
  };
  std::vector<std::string> texts;
  for (int i = 0; i < 600; ++i) {
    std::string text =
        repeated("a", 1 + static_cast<int>(random() % 3)) + repeated("b", static_cast<int>(random() % 2));
    if (i % 7 == 0) text += repeated("c", 200 + static_cast<int>(random() % 900));                    // tf past 255
    if (i % 150 == 3) text += repeated("filler", 66000 + static_cast<int>(random() % 5000)) + "a c";  // long
    texts.push_back(text);
  }
  InvertedIndex index(1.2, 0.75);
  index.Add(texts, *FuzzAnalyzer(), 2);
  index.set_prune_from_documents(0);
  lumo::index::AnalyzedText analyzed;
  for (const char* query : {"a", "c", "a c", "b c", "a b c filler", "filler c"}) {
    FuzzAnalyzer()->Analyze(query, analyzed);
    for (std::size_t k : {1u, 5u, 50u}) {
      const auto exhaustive = index.SearchExhaustive(analyzed.terms, k, FuzzAnalyzer()->settings().bigram_weight);
      ExpectSameRanking(index.Search(query, *FuzzAnalyzer(), k), exhaustive,
                        std::string(query) + " k " + std::to_string(k));
    }
  }
}

// df over live documents: after removals in several segments, each term's df is the number of
// live documents whose analysis holds it.
TEST(InvertedIndex, DocumentFrequencyCountsLiveDocumentsAfterRemovals) {
  std::mt19937 random(5);
  InvertedIndex index(1.2, 0.75);
  std::vector<std::string> texts;
  for (int batch = 0; batch < 12; ++batch) {
    std::vector<std::string> batch_texts;
    for (int i = 0; i < 40; ++i) batch_texts.push_back(RandomText(random, 10));
    index.Add(batch_texts, *FuzzAnalyzer(), 1);
    texts.insert(texts.end(), batch_texts.begin(), batch_texts.end());
    std::vector<std::uint32_t> live = index.LiveDocuments();
    index.Remove({live[random() % live.size()], live[0]});
  }
  std::map<std::string, std::uint32_t> df;
  for (std::uint32_t doc : index.LiveDocuments()) {
    std::vector<std::string> terms = FuzzAnalyzer()->Analyze(texts[doc]);
    std::sort(terms.begin(), terms.end());
    terms.erase(std::unique(terms.begin(), terms.end()), terms.end());
    for (const std::string& term : terms) ++df[term];
  }
  ASSERT_GT(df.size(), 10u);
  for (const auto& [term, count] : df) EXPECT_EQ(index.DocumentFrequency(term), count) << term;
  EXPECT_EQ(index.DocumentFrequency("not a term"), 0u);
}

TEST(InvertedIndex, LimitsAreCheckedBeforeAnyWork) {
  EXPECT_THROW(InvertedIndex(1e39, 0.75), lumo::index::InvalidArgument);
  EXPECT_THROW(InvertedIndex(lumo::index::kLargestK1 * 2, 0.75), lumo::index::InvalidArgument);
  EXPECT_THROW(InvertedIndex(1.2, 1.5), lumo::index::InvalidArgument);
  InvertedIndex largest(lumo::index::kLargestK1, 1.0);
  largest.Add({"中国 中国 中国 ab", "ab"}, *FuzzAnalyzer(), 1);
  for (const auto& r : largest.Search("中国 ab", *FuzzAnalyzer(), 10)) EXPECT_TRUE(std::isfinite(r.score));
  std::vector<std::vector<ScoredDocument>> results;
  EXPECT_THROW(largest.SearchMany({"ab"}, *FuzzAnalyzer(), lumo::index::kLargestK + 1, 1, results),
               lumo::index::InvalidArgument);
  EXPECT_THROW(largest.SearchMany({"ab"}, *FuzzAnalyzer(), 10, lumo::index::kMostThreads + 1, results),
               lumo::index::InvalidArgument);
  EXPECT_THROW(largest.Add({"ab"}, *FuzzAnalyzer(), lumo::index::kMostThreads + 1), lumo::index::InvalidArgument);
}

TEST(InvertedIndex, CancelledCallsStopAndAddNothing) {
  InvertedIndex index(1.2, 0.75);
  index.Add({"中国 ab"}, *FuzzAnalyzer(), 1);
  std::atomic<bool> cancel{true};
  std::vector<std::string> texts(500, "中国 人 ab");
  EXPECT_THROW(index.Add(texts, *FuzzAnalyzer(), 2, &cancel), lumo::index::Interrupted);
  EXPECT_EQ(index.document_count(), 1u);
  std::vector<std::vector<ScoredDocument>> results;
  EXPECT_THROW(index.SearchMany(texts, *FuzzAnalyzer(), 10, 2, results, &cancel), lumo::index::Interrupted);
  EXPECT_THROW(index.Search("中国", *FuzzAnalyzer(), 10, &cancel), lumo::index::Interrupted);
  // A cancelled compaction leaves the segments as they were.
  for (int batch = 0; batch < 2; ++batch) index.Add({"中国 人", "ab 中国"}, *FuzzAnalyzer(), 1);
  index.Remove({2});
  const auto segments = index.Stats().segments;
  const auto found = index.Search("中国 ab", *FuzzAnalyzer(), 10);
  ASSERT_GT(segments, 1u);
  EXPECT_THROW(index.MergeAllSegments(&cancel), lumo::index::Interrupted);
  EXPECT_EQ(index.Stats().segments, segments);
  ExpectSameRanking(index.Search("中国 ab", *FuzzAnalyzer(), 10), found, "after a cancelled compaction");
  cancel = false;
  index.MergeAllSegments(&cancel);
  EXPECT_EQ(index.Stats().segments, 1u);
  ExpectSameRanking(index.Search("中国 ab", *FuzzAnalyzer(), 10), found, "after the compaction");
}

}  // namespace
