#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tokenizer/jieba/Trie.h"

namespace jieba = lumo::typing::text::jieba;
using jieba::Dag;
using jieba::DictUnit;
using jieba::Rune;
using jieba::RuneArray;
using jieba::RuneStrArray;
using jieba::Trie;

namespace {

RuneArray Runes(const std::string& text) {
  RuneArray runes;
  EXPECT_TRUE(jieba::DecodeRunesInString(text, runes));
  return runes;
}

DictUnit Unit(const std::string& word, double weight) {
  DictUnit unit;
  unit.word = Runes(word);
  unit.weight = weight;
  return unit;
}

using Pairs = std::vector<std::pair<std::size_t, const DictUnit*>>;

Pairs CandidatesOf(const Dag& dag) { return Pairs(dag.candidates.begin(), dag.candidates.end()); }

// The dictionary AB, ABC (A alone is no word) over the text ABCD.
class TrieAbc : public ::testing::Test {
 protected:
  void SetUp() override {
    trie_.InsertNode(ab_.word, &ab_);
    trie_.InsertNode(abc_.word, &abc_);
    ASSERT_TRUE(jieba::DecodeRunesInString(std::string("ABCD"), text_));
  }

  std::vector<Dag> Dags(std::size_t max_word_length) const {
    std::vector<Dag> dags;
    trie_.Find(text_.begin(), text_.end(), dags, max_word_length);
    return dags;
  }

  const DictUnit* Exact(const std::string& word) const {
    const RuneArray runes = Runes(word);
    RuneStrArray records;
    EXPECT_TRUE(jieba::DecodeRunesInString(word, records));
    const DictUnit* by_records = trie_.Find(records.begin(), records.end());
    const DictUnit* by_runes = trie_.Find(runes.begin(), runes.end());
    EXPECT_EQ(by_records, by_runes) << "the two exact look-ups disagree on " << word;
    return by_runes;
  }

  DictUnit ab_ = Unit("AB", -1.0);
  DictUnit abc_ = Unit("ABC", -2.0);
  Trie trie_;
  RuneStrArray text_;
};

TEST_F(TrieAbc, DagListsEveryWordStartingAtEachPosition) {
  const std::vector<Dag> dags = Dags(512);
  ASSERT_EQ(dags.size(), 4u);
  EXPECT_EQ(CandidatesOf(dags[0]), (Pairs{{0, nullptr}, {1, &ab_}, {2, &abc_}}));
  EXPECT_EQ(CandidatesOf(dags[1]), (Pairs{{1, nullptr}}));
  EXPECT_EQ(CandidatesOf(dags[2]), (Pairs{{2, nullptr}}));
  EXPECT_EQ(CandidatesOf(dags[3]), (Pairs{{3, nullptr}}));
  for (std::size_t i = 0; i < dags.size(); ++i) {
    EXPECT_EQ(dags[i].rune_str.rune, static_cast<Rune>('A' + i));
    EXPECT_EQ(dags[i].rune_str.byte_offset, i);
    EXPECT_EQ(dags[i].rune_str.rune_offset, i);
    EXPECT_EQ(dags[i].best_unit, nullptr);
    EXPECT_EQ(dags[i].best_weight, 0.0);
  }
}

// (limit, how many of the pairs (0, none), (1, AB), (2, ABC) position 0 keeps).
class TrieAbcLimit : public TrieAbc, public ::testing::WithParamInterface<std::pair<std::size_t, std::size_t>> {};

TEST_P(TrieAbcLimit, LongerWordsStopAtTheLengthLimit) {
  const auto [limit, kept] = GetParam();
  const Pairs all = {{0, nullptr}, {1, &ab_}, {2, &abc_}};
  const std::vector<Dag> dags = Dags(limit);
  ASSERT_EQ(dags.size(), 4u);
  EXPECT_EQ(CandidatesOf(dags[0]), Pairs(all.begin(), all.begin() + kept));
  EXPECT_EQ(CandidatesOf(dags[1]), (Pairs{{1, nullptr}}));
}

INSTANTIATE_TEST_SUITE_P(Limits, TrieAbcLimit,
                         ::testing::Values(std::make_pair(0, 1), std::make_pair(1, 1), std::make_pair(2, 2),
                                           std::make_pair(3, 3), std::make_pair(4, 3)));

TEST_F(TrieAbc, ExactLookupFindsWholeWordsOnly) {
  EXPECT_EQ(Exact("A"), nullptr);  // only a prefix
  EXPECT_EQ(Exact("AB"), &ab_);
  EXPECT_EQ(Exact("ABC"), &abc_);
  EXPECT_EQ(Exact("ABCD"), nullptr);
  EXPECT_EQ(Exact("B"), nullptr);
  EXPECT_EQ(Exact(""), nullptr);
}

TEST_F(TrieAbc, EmptyRangeLeavesNoRecords) {
  std::vector<Dag> dags(3);
  trie_.Find(text_.begin(), text_.begin(), dags, 512);
  EXPECT_TRUE(dags.empty());
}

TEST_F(TrieAbc, ReinsertedWordTakesTheNewUnit) {
  DictUnit replacement = Unit("AB", -0.5);
  trie_.InsertNode(replacement.word, &replacement);
  EXPECT_EQ(Exact("AB"), &replacement);
  EXPECT_EQ(CandidatesOf(Dags(512)[0]), (Pairs{{0, nullptr}, {1, &replacement}, {2, &abc_}}));
}

TEST_F(TrieAbc, EmptyWordChangesNothing) {
  DictUnit empty;
  trie_.InsertNode(empty.word, &empty);
  EXPECT_EQ(Exact(""), nullptr);
  EXPECT_EQ(CandidatesOf(Dags(512)[0]), (Pairs{{0, nullptr}, {1, &ab_}, {2, &abc_}}));
  EXPECT_EQ(CandidatesOf(Dags(512)[1]), (Pairs{{1, nullptr}}));
}

TEST_F(TrieAbc, OneRuneWordIsTheFirstPair) {
  DictUnit a = Unit("A", -3.0);
  trie_.InsertNode(a.word, &a);
  EXPECT_EQ(CandidatesOf(Dags(1)[0]), (Pairs{{0, &a}}));
  EXPECT_EQ(CandidatesOf(Dags(512)[0]), (Pairs{{0, &a}, {1, &ab_}, {2, &abc_}}));
}

TEST(Trie, MoreThanSixteenCandidatesAtOnePosition) {
  std::string text;
  std::vector<DictUnit> units;
  units.reserve(24);
  for (int i = 0; i < 24; ++i) {
    text += "\xE4\xB8\x80";  // the same rune repeated: every prefix is a word
    units.push_back(Unit(text, -i));
  }
  Trie trie;
  for (const DictUnit& unit : units) {
    trie.InsertNode(unit.word, &unit);
  }
  RuneStrArray records;
  ASSERT_TRUE(jieba::DecodeRunesInString(text, records));
  std::vector<Dag> dags;
  trie.Find(records.begin(), records.end(), dags, 512);
  ASSERT_EQ(dags.size(), 24u);
  ASSERT_EQ(dags[0].candidates.size(), 24u);
  for (std::size_t j = 0; j < 24; ++j) {
    EXPECT_EQ(dags[0].candidates[j], std::make_pair(j, static_cast<const DictUnit*>(&units[j])));
  }
  EXPECT_EQ(dags[23].candidates.size(), 1u);
  EXPECT_EQ(dags[10].candidates.size(), 14u);
}

// The child tables must hold any rune value, grow from a single child to thousands, and answer
// misses in tables that are completely full.
class TrieChildren : public ::testing::TestWithParam<std::vector<Rune>> {};

TEST_P(TrieChildren, EveryInsertedRuneIsFoundAndOnlyThose) {
  const std::vector<Rune>& keys = GetParam();
  std::vector<jieba::TrieNode> nodes(keys.size());
  jieba::TrieChildMap map;
  EXPECT_EQ(map.Find(keys.empty() ? 0 : keys[0]), nullptr);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    map.Insert(keys[i], &nodes[i]);
    ASSERT_EQ(map.Find(keys[i]), &nodes[i]) << "right after inserting " << keys[i];
  }
  EXPECT_EQ(map.size(), keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(map.Find(keys[i]), &nodes[i]) << keys[i];
  }
  std::vector<Rune> absent = {1, 7, 0x4E00 + 30000, 0xFFFFFFFEu, 12345678};
  for (Rune r : absent) {
    bool inserted = false;
    for (Rune k : keys) inserted = inserted || k == r;
    if (!inserted) {
      EXPECT_EQ(map.Find(r), nullptr) << r;
    }
  }
  std::size_t visited = 0;
  map.ForEach([&](Rune key, jieba::TrieNode* child) {
    ++visited;
    EXPECT_EQ(map.Find(key), child);
  });
  EXPECT_EQ(visited, keys.size());
}

std::vector<Rune> Range(Rune first, std::size_t count, Rune stride) {
  std::vector<Rune> keys;
  for (std::size_t i = 0; i < count; ++i) keys.push_back(first + static_cast<Rune>(i) * stride);
  return keys;
}

INSTANTIATE_TEST_SUITE_P(KeySets, TrieChildren,
                         ::testing::Values(std::vector<Rune>{}, std::vector<Rune>{0}, std::vector<Rune>{0xFFFFFFFFu},
                                           std::vector<Rune>{5, 9}, Range(0x4E00, 3, 1), Range(0x4E00, 4, 1),
                                           Range(0x4E00, 5, 1), Range(0x4E00, 7000, 1), Range(0, 3000, 65536),
                                           Range(64, 500, 4096)));

// Freeing the trie walks it without recursion, so one absurdly long dictionary word cannot
// overflow the stack.
TEST(Trie, VeryDeepTrieIsFreedWithoutRecursion) {
  RuneArray word;
  word.reserve(300000);
  for (Rune r = 0; r < 300000; ++r) {
    word.push_back(0x4E00 + r % 64);
  }
  DictUnit unit;
  {
    Trie trie;
    trie.InsertNode(word, &unit);
    EXPECT_EQ(trie.Find(word.begin(), word.end()), &unit);
  }
  SUCCEED();
}

}  // namespace
