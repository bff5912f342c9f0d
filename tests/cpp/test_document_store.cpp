// Stored documents: a store gives back every record it was built with (across block borders,
// with records missing), finds documents by id, and refuses damaged bytes with CorruptIndex;
// an index that stores documents keeps every live document's record through removals, merges
// of its segments, saves, loads and merges of indexes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "../../fuzz/IndexLoaderCheck.h"
#include "index/DocumentStore.h"
#include "index/InvertedIndex.h"

namespace {

using lumo::fuzz::FuzzAnalyzer;
using lumo::index::CorruptIndex;
using lumo::index::DocumentFields;
using lumo::index::DocumentStore;
using lumo::index::DocumentStoreBuilder;
using lumo::index::InvertedIndex;
using lumo::index::StoredDocument;

std::string RandomText(std::mt19937& random, std::size_t longest) {
  static const std::vector<std::string> kPieces = {"北京", "天气", "很好", "的", "alpha", " ", "长江大桥", "7"};
  std::string text;
  const std::size_t n = random() % (longest + 1);
  for (std::size_t i = 0; i < n; ++i) text += kPieces[random() % kPieces.size()];
  return text;
}

using Expected = std::vector<std::optional<StoredDocument>>;

std::shared_ptr<const std::string> BuildRandomStore(std::mt19937& random, std::size_t count, Expected& expected) {
  DocumentStoreBuilder builder;
  for (std::size_t i = 0; i < count; ++i) {
    if (random() % 7 == 0) {
      builder.AddAbsent();
      expected.emplace_back();
      continue;
    }
    // Some texts far longer than a block, so records straddle nothing and blocks hold one.
    StoredDocument record{RandomText(random, random() % 50 == 0 ? 40000 : 30),
                          random() % 3 == 0 ? "" : "id-" + std::to_string(random() % (count + 1)),
                          random() % 2 == 0 ? "" : "{\"n\": " + std::to_string(i) + "}"};
    builder.Add(record.text, record.id, record.metadata);
    expected.push_back(record);
  }
  return builder.Finish();
}

void ExpectRecord(const std::optional<StoredDocument>& want, bool present, const StoredDocument& got,
                  std::size_t local) {
  ASSERT_EQ(present, want.has_value()) << "document " << local;
  if (!present) return;
  EXPECT_EQ(got.text, want->text) << "document " << local;
  EXPECT_EQ(got.id, want->id) << "document " << local;
  EXPECT_EQ(got.metadata, want->metadata) << "document " << local;
}

class StoreRoundTrip : public ::testing::TestWithParam<std::size_t> {};

TEST_P(StoreRoundTrip, GivesBackEveryRecordAndFindsIds) {
  std::mt19937 random(static_cast<unsigned>(GetParam()) + 3);
  Expected expected;
  const auto bytes = BuildRandomStore(random, GetParam(), expected);
  const DocumentStore store(*bytes, bytes);
  ASSERT_EQ(store.doc_count(), expected.size());
  StoredDocument record;
  for (std::size_t local = 0; local < expected.size(); ++local) {
    const bool present = store.Get(static_cast<std::uint32_t>(local), record);
    ExpectRecord(expected[local], present, record, local);
  }
  EXPECT_FALSE(store.Get(static_cast<std::uint32_t>(expected.size()), record));
  std::size_t visited = 0;
  store.ForEach([&](std::uint32_t local, const StoredDocument* got) {
    ASSERT_EQ(local, visited++);
    ExpectRecord(expected[local], got != nullptr, got != nullptr ? *got : record, local);
  });
  EXPECT_EQ(visited, expected.size());
  std::map<std::string, std::vector<std::uint32_t>> holders;
  for (std::size_t local = 0; local < expected.size(); ++local) {
    if (expected[local] && !expected[local]->id.empty()) {
      holders[expected[local]->id].push_back(static_cast<std::uint32_t>(local));
    }
  }
  for (std::size_t i = 0; i <= GetParam() + 1; ++i) {
    const std::string id = "id-" + std::to_string(i);
    std::vector<std::uint32_t> found;
    store.FindId(id, found);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, holders[id]) << id;
  }
  std::vector<std::uint32_t> none;
  store.FindId("", none);
  EXPECT_TRUE(none.empty());
}
INSTANTIATE_TEST_SUITE_P(Sizes, StoreRoundTrip, ::testing::Values(0u, 1u, 17u, 3000u));

// Every single damaged byte and every truncation: CorruptIndex or a record, never a read outside
// the bytes (AddressSanitizer watches) or an endless loop.
TEST(DocumentStore, DamagedBytesAreRefusedNotTrusted) {
  std::mt19937 random(9);
  Expected expected;
  const auto good = BuildRandomStore(random, 40, expected);
  auto exercise = [](const std::string& bytes) {
    try {
      const DocumentStore store(bytes, nullptr);
      StoredDocument record;
      for (std::uint32_t local = 0; local <= store.doc_count(); ++local) store.Get(local, record);
      store.ForEach([](std::uint32_t, const StoredDocument*) {});
      std::vector<std::uint32_t> found;
      store.FindId("id-3", found);
    } catch (const CorruptIndex&) {
    }
  };
  for (std::size_t at = 0; at < good->size(); ++at) {
    std::string damaged = *good;
    damaged[at] = static_cast<char>(damaged[at] ^ (1 << (at % 8)));
    exercise(damaged);
  }
  for (std::size_t size = 0; size < good->size(); size += 1 + size / 8) {
    EXPECT_THROW(DocumentStore(good->substr(0, size), nullptr), CorruptIndex) << "cut to " << size;
  }
}

TEST(DocumentStore, ARecordOfTwoGibibytesIsRefused) {
  DocumentStoreBuilder builder;
  const std::string_view huge(nullptr, lumo::index::kLargestStoredBlock);
  EXPECT_THROW(builder.Add(huge, "", ""), lumo::index::InvalidArgument);
}

// The records an index should hold: number -> text, id, metadata of the live documents.
using Model = std::map<std::uint64_t, StoredDocument>;

void ExpectIndexHolds(const InvertedIndex& index, const Model& model, const std::string& where) {
  ASSERT_EQ(index.live_count(), model.size()) << where;
  for (const auto& [doc, want] : model) {
    const StoredDocument got = index.Document(doc);
    EXPECT_EQ(got.text, want.text) << where << " document " << doc;
    EXPECT_EQ(got.id, want.id) << where << " document " << doc;
    EXPECT_EQ(got.metadata, want.metadata) << where << " document " << doc;
    if (!want.id.empty()) {
      EXPECT_EQ(index.FindIds({want.id}), std::vector<std::int64_t>{static_cast<std::int64_t>(doc)}) << where;
    }
  }
  for (std::uint64_t doc = 0; doc < index.document_count(); ++doc) {
    if (model.count(doc) == 0) {
      EXPECT_THROW(index.Document(doc), lumo::index::UnknownDocument) << where << doc;
    }
  }
}

// Many adds (segments merged as they grow), removals enough to rewrite segments without their
// removed documents, a reload from the payload and a merge of two indexes.
TEST(StoringIndex, KeepsEveryLiveRecordThroughRemovalsMergesAndReloads) {
  std::mt19937 random(21);
  InvertedIndex index(1.2, 0.75, true);
  Model model;
  std::uint64_t next_id = 0;
  for (int batch = 0; batch < 30; ++batch) {
    std::vector<std::string> texts;
    DocumentFields fields;
    const int n = batch % 6 == 0 ? 400 : 1 + static_cast<int>(random() % 40);
    for (int i = 0; i < n; ++i) {
      texts.push_back(RandomText(random, 20));
      fields.ids.push_back(random() % 4 == 0 ? "" : "doc" + std::to_string(next_id++));
      fields.metadata.push_back(random() % 2 ? "" : "{\"batch\": " + std::to_string(batch) + "}");
    }
    const std::uint32_t first = index.Add(texts, *FuzzAnalyzer(), 1 + random() % 2, nullptr, &fields);
    for (int i = 0; i < n; ++i) model[first + i] = {texts[i], fields.ids[i], fields.metadata[i]};
    if (batch % 4 == 3) {
      std::vector<std::uint64_t> gone;
      for (const auto& [doc, record] : model) {
        if (random() % 2 == 0) gone.push_back(doc);
      }
      index.Remove(gone);
      for (std::uint64_t doc : gone) model.erase(doc);
    }
  }
  ExpectIndexHolds(index, model, "built");
  const auto before = index.Stats().store_bytes;
  std::vector<std::uint64_t> most;
  for (const auto& [doc, record] : model) most.push_back(doc);
  most.resize(most.size() * 9 / 10);
  index.Remove(most);
  for (std::uint64_t doc : most) model.erase(doc);
  EXPECT_LT(index.Stats().store_bytes, before / 2) << "removed documents' records were kept";
  ExpectIndexHolds(index, model, "after removals");

  const auto payload = lumo::fuzz::SplitPayloadInput(lumo::fuzz::PayloadInput(index.ToCommitPayload()));
  auto loaded = InvertedIndex::FromCommitPayload(payload.opened, 1.2, 0.75);
  ASSERT_TRUE(loaded->stores_documents());
  ExpectIndexHolds(*loaded, model, "loaded");

  auto merged = InvertedIndex::Merge({loaded.get(), &index}, 1.2, 0.75);
  Model both = model;
  for (const auto& [doc, record] : model) both[doc + index.document_count()] = record;
  // The ids now repeat across the two halves: each is found once, in the first.
  for (std::uint64_t doc = 0; doc < merged->document_count(); ++doc) {
    if (both.count(doc) == 0) continue;
    const StoredDocument got = merged->Document(doc);
    EXPECT_EQ(got.text, both[doc].text);
    EXPECT_EQ(got.metadata, both[doc].metadata);
  }
}

TEST(StoringIndex, IdsAreUniqueAmongLiveDocuments) {
  InvertedIndex index(1.2, 0.75, true);
  const std::vector<std::string> two = {"北京", "天气"};
  DocumentFields fields{{"a", "b"}, {}};
  index.Add(two, *FuzzAnalyzer(), 1, nullptr, &fields);
  DocumentFields again{{"c", "a"}, {}};
  EXPECT_THROW(index.Add(two, *FuzzAnalyzer(), 1, nullptr, &again), lumo::index::InvalidArgument);
  DocumentFields twice{{"d", "d"}, {}};
  EXPECT_THROW(index.Add(two, *FuzzAnalyzer(), 1, nullptr, &twice), lumo::index::InvalidArgument);
  EXPECT_EQ(index.document_count(), 2u) << "a refused add added something";
  index.Remove({0});
  EXPECT_EQ(index.FindIds({"a", "b", "zz"}), (std::vector<std::int64_t>{-1, 1, -1}));
  EXPECT_EQ(index.Add(two, *FuzzAnalyzer(), 1, nullptr, &again), 2u) << "the id of a removed document is free";
  DocumentFields short_list{{"x"}, {}};
  EXPECT_THROW(index.Add(two, *FuzzAnalyzer(), 1, nullptr, &short_list), lumo::index::InvalidArgument);
}

TEST(NumbersOnlyIndex, StoresNothingAndSaysSo) {
  InvertedIndex index(1.2, 0.75);
  const std::vector<std::string> texts = {"北京"};
  DocumentFields fields{{"a"}, {}};
  EXPECT_THROW(index.Add(texts, *FuzzAnalyzer(), 1, nullptr, &fields), lumo::index::InvalidArgument);
  index.Add(texts, *FuzzAnalyzer(), 1);
  EXPECT_THROW(index.Document(0), lumo::index::StateError);
  // An engine description of a release before stored documents names no store.
  auto payload_data = index.ToCommitPayload();
  const auto at = payload_data.engine_json.find(", \"store\": false");
  ASSERT_NE(at, std::string::npos);
  payload_data.engine_json.erase(at, std::string(", \"store\": false").size());
  const auto payload = lumo::fuzz::SplitPayloadInput(lumo::fuzz::PayloadInput(payload_data));
  auto loaded = InvertedIndex::FromCommitPayload(payload.opened, 1.2, 0.75);
  EXPECT_FALSE(loaded->stores_documents());
  EXPECT_EQ(loaded->live_count(), 1u);
  InvertedIndex storing(1.2, 0.75, true);
  EXPECT_THROW(InvertedIndex::Merge({&index, &storing}, 1.2, 0.75), lumo::index::InvalidArgument);
  // Releases that know no stored documents read engine version 1 only: they refuse a storing
  // index rather than save it again without its texts.
  EXPECT_NE(storing.ToCommitPayload().engine_json.find("\"version\": 2,"), std::string::npos);
  EXPECT_NE(payload_data.engine_json.find("\"version\": 1,"), std::string::npos);
}

}  // namespace
