// One index used by several threads at once: one adds documents, one removes them, two search,
// one saves it into a directory while another loads that directory. Each thread checks what it
// can know for sure beside the others: a document removed before a search began is never a hit,
// counts agree with the live documents, every save loads, a stored text read beside the writers
// is the one added under that number. The ThreadSanitizer build (make test-tsan) runs the same
// binary and fails on any data race.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../../fuzz/IndexLoaderCheck.h"
#include "index/Errors.h"
#include "index/IndexDirectory.h"
#include "index/InvertedIndex.h"

namespace {

namespace fs = std::filesystem;
using lumo::fuzz::FuzzAnalyzer;
using lumo::index::InvertedIndex;

constexpr int kAddRounds = 60;
constexpr int kBatch = 20;

const std::vector<std::string>& Words() {
  static const std::vector<std::string> words = {"ab",  "cd", "ef", "\xe4\xb8\xad\xe5\x9b\xbd", "\xe4\xba\xba",
                                                 "gh",  "ij", "kl", "\xe5\xa4\xa7\xe5\xad\xa6", "mn",
                                                 "opq", "rs", "tu", "\xe5\xad\xa6\xe7\x94\x9f", "vw"};
  return words;
}

std::string RandomText(std::mt19937& random) {
  std::string text;
  const int n = 1 + static_cast<int>(random() % 12);
  for (int i = 0; i < n; ++i) text += Words()[random() % Words().size()] + " ";
  return text;
}

// Documents whose removal has returned: a search that starts after a document entered here
// must not return it.
class RemovedSet {
 public:
  void Insert(std::uint64_t doc) {
    std::lock_guard<std::mutex> guard(mutex_);
    docs_.insert(doc);
  }
  std::set<std::uint64_t> Snapshot() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return docs_;
  }

 private:
  mutable std::mutex mutex_;
  std::set<std::uint64_t> docs_;
};

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "lumotext-stress-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string Sub(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

// The texts given to the index, by document number, recorded before the add that numbers them.
class AddedTexts {
 public:
  void Append(const std::vector<std::string>& texts) {
    std::lock_guard<std::mutex> guard(mutex_);
    texts_.insert(texts_.end(), texts.begin(), texts.end());
  }
  std::string At(std::uint64_t doc) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return doc < texts_.size() ? texts_[doc] : std::string("(never added)");
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> texts_;
};

// With stored documents: a live document's stored text is its added text; one removed meanwhile
// is reported unknown, never as another's record.
bool StoredTextMatches(const InvertedIndex& index, const AddedTexts& added, std::uint64_t doc) {
  if (!index.stores_documents()) return true;
  try {
    return index.Document(doc).text == added.At(doc);
  } catch (const lumo::index::UnknownDocument&) {
    return true;
  }
}

// The counts of `index` agree with its live documents, and every hit of a search is one of them.
void ExpectConsistent(const InvertedIndex& index, const char* what) {
  const std::vector<std::uint32_t> live = index.LiveDocuments();
  EXPECT_LE(index.live_count(), index.document_count()) << what;
  EXPECT_EQ(live.size(), index.live_count()) << what;
  for (const auto& hit : index.Search("ab \xe4\xb8\xad\xe5\x9b\xbd", *FuzzAnalyzer(), 50)) {
    EXPECT_TRUE(std::binary_search(live.begin(), live.end(), hit.doc)) << what << ": hit " << hit.doc << " not live";
  }
}

class IndexConcurrency : public ::testing::TestWithParam<bool> {};

TEST_P(IndexConcurrency, AddRemoveSearchSaveAndLoadAtOnce) {
  ScratchDir scratch;
  const std::string path = scratch.Sub("ix");
  const lumo::index::IndexSettings settings{1.2, 0.75, "{}"};
  InvertedIndex index(1.2, 0.75, /*store_documents=*/GetParam());
  RemovedSet removed;
  AddedTexts added;
  std::atomic<bool> adding{true};
  std::atomic<std::uint64_t> saves{0};
  std::atomic<int> loads{0};
  std::atomic<int> failures{0};

  std::vector<std::thread> threads;
  threads.reserve(6);
  threads.emplace_back([&] {  // adder
    std::mt19937 random(1);
    for (int round = 0; round < kAddRounds; ++round) {
      std::vector<std::string> texts;
      for (int i = 0; i < kBatch; ++i) texts.push_back(RandomText(random));
      if (round == kAddRounds / 2) {
        // Over 65,536 new terms in one add: their ids are given out in runs, with searches let in
        // between the runs.
        for (int n = 0; n < 70000; ++n) texts[0] += " " + std::to_string(1000000 + n);
      }
      const std::uint64_t before = index.document_count();
      added.Append(texts);
      const std::uint32_t first = index.Add(texts, *FuzzAnalyzer(), round % 3);
      if (first != before) failures.fetch_add(1);  // the only adder: numbers follow on
    }
    adding.store(false);
  });
  threads.emplace_back([&] {  // remover
    std::mt19937 random(2);
    while (adding.load()) {
      const std::uint64_t count = index.document_count();
      if (count == 0) {
        std::this_thread::yield();
        continue;
      }
      const std::uint64_t doc = random() % count;
      try {
        index.Remove({doc});
        removed.Insert(doc);
      } catch (const lumo::index::UnknownDocument&) {
        // already removed by an earlier turn: the only remover, so it must be in the set
        const auto seen = removed.Snapshot();
        if (seen.count(doc) == 0) failures.fetch_add(1);
      }
    }
  });
  for (int s = 0; s < 2; ++s) {
    threads.emplace_back([&, s] {  // searchers
      std::mt19937 random(10 + s);
      while (adding.load()) {
        const std::set<std::uint64_t> gone = removed.Snapshot();
        const auto hits = index.Search(RandomText(random), *FuzzAnalyzer(), 20);
        for (const auto& hit : hits) {
          if (gone.count(hit.doc) != 0) failures.fetch_add(1);
          if (!StoredTextMatches(index, added, hit.doc)) failures.fetch_add(1);
        }
        std::vector<std::vector<lumo::index::ScoredDocument>> many;
        index.SearchMany({RandomText(random), RandomText(random)}, *FuzzAnalyzer(), 5, 2, many);
        if (many.size() != 2) failures.fetch_add(1);
      }
    });
  }
  threads.emplace_back([&] {  // saver
    while (adding.load()) {
      lumo::index::SaveIndexDirectory(path, settings, index.ToCommitPayload());
      saves.fetch_add(1);
    }
  });
  threads.emplace_back([&] {  // loader: every commit it finds loads and is consistent
    while (adding.load() || loads.load() == 0) {
      if (saves.load() == 0) {
        std::this_thread::yield();
        continue;
      }
      const auto directory = lumo::index::LoadIndexDirectory(path, loads.load() % 2 == 0);
      const auto loaded = InvertedIndex::FromCommitPayload(directory.payload, 1.2, 0.75);
      ExpectConsistent(*loaded, "loaded");
      EXPECT_EQ(loaded->stores_documents(), GetParam());
      for (std::uint32_t doc : loaded->LiveDocuments()) {
        if (!StoredTextMatches(*loaded, added, doc)) failures.fetch_add(1);
      }
      loads.fetch_add(1);
    }
  });
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(loads.load(), 0);
  EXPECT_EQ(index.document_count(), std::uint64_t{kAddRounds} * kBatch);
  const std::set<std::uint64_t> gone = removed.Snapshot();
  EXPECT_EQ(index.live_count(), index.document_count() - gone.size());
  ExpectConsistent(index, "final");
  for (std::uint32_t doc : index.LiveDocuments()) EXPECT_EQ(gone.count(doc), 0u) << doc;

  // The last state saves and loads back with the same documents and results.
  lumo::index::SaveIndexDirectory(path, settings, index.ToCommitPayload());
  const auto directory = lumo::index::LoadIndexDirectory(path, true);
  const auto loaded = InvertedIndex::FromCommitPayload(directory.payload, 1.2, 0.75);
  EXPECT_EQ(loaded->LiveDocuments(), index.LiveDocuments());
  const auto want = index.Search("ab cd \xe4\xba\xba", *FuzzAnalyzer(), 30);
  const auto got = loaded->Search("ab cd \xe4\xba\xba", *FuzzAnalyzer(), 30);
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].doc, want[i].doc);
  for (std::uint32_t doc : loaded->LiveDocuments()) EXPECT_TRUE(StoredTextMatches(*loaded, added, doc)) << doc;
}

INSTANTIATE_TEST_SUITE_P(StoringDocumentsOrNot, IndexConcurrency, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Stored") : std::string("NumbersOnly");
                         });

}  // namespace
