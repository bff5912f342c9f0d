#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tokenizer/jieba/Trie.h"

namespace jieba = lumo::typing::text::jieba;
using jieba::Dag;
using jieba::DictUnit;
using jieba::Rune;
using Pairs = std::vector<std::pair<std::size_t, const DictUnit*>>;

namespace {

DictUnit Unit(const std::string& word) {
  DictUnit unit;
  EXPECT_TRUE(jieba::DecodeRunesInString(word, unit.word));
  return unit;
}

// The dictionary AB and ABC (A alone is no word), over the text ABCD.
class TrieAbc : public ::testing::Test {
 protected:
  void SetUp() override {
    trie_.InsertNode(ab_.word, &ab_);
    trie_.InsertNode(abc_.word, &abc_);
  }

  std::vector<Pairs> Dags(std::size_t max_word_length, const std::string& text = "ABCD") const {
    jieba::RuneStrArray runes;
    EXPECT_TRUE(jieba::DecodeRunesInString(text, runes));
    std::vector<Dag> dags(2);
    trie_.Find(runes.begin(), runes.end(), dags, max_word_length);
    std::vector<Pairs> out;
    for (std::size_t i = 0; i < dags.size(); ++i) {
      EXPECT_EQ(dags[i].rune_str.rune_offset, i);
      EXPECT_EQ(dags[i].rune_str.rune, runes[i].rune);
      EXPECT_EQ(dags[i].best_unit, nullptr);
      out.emplace_back(dags[i].candidates.begin(), dags[i].candidates.end());
    }
    return out;
  }

  // Both exact look-ups (over rune records and over bare runes) must agree.
  const DictUnit* Exact(const std::string& word) const {
    jieba::RuneStrArray records;
    jieba::RuneArray runes;
    EXPECT_TRUE(jieba::DecodeRunesInString(word, records) && jieba::DecodeRunesInString(word, runes));
    EXPECT_EQ(trie_.Find(records.begin(), records.end()), trie_.Find(runes.begin(), runes.end()));
    return trie_.Find(runes.begin(), runes.end());
  }

  DictUnit ab_ = Unit("AB"), abc_ = Unit("ABC");
  jieba::Trie trie_;
};

TEST_F(TrieAbc, DagListsTheWordsStartingAtEachPosition) {
  EXPECT_EQ(Dags(512), (std::vector<Pairs>{
                           {{0, nullptr}, {1, &ab_}, {2, &abc_}}, {{1, nullptr}}, {{2, nullptr}}, {{3, nullptr}}}));
  EXPECT_TRUE(Dags(512, "").empty());
}

class TrieAbcLimit : public TrieAbc, public ::testing::WithParamInterface<std::tuple<int, int>> {};

// (limit, how many of (0, none), (1, AB), (2, ABC) position 0 keeps): the one-rune pair always.
TEST_P(TrieAbcLimit, LongerWordsStopAtTheLengthLimit) {
  const auto [limit, kept] = GetParam();
  const Pairs all = {{0, nullptr}, {1, &ab_}, {2, &abc_}};
  EXPECT_EQ(Dags(limit)[0], Pairs(all.begin(), all.begin() + kept));
}

INSTANTIATE_TEST_SUITE_P(Limits, TrieAbcLimit,
                         ::testing::Values(std::make_tuple(0, 1), std::make_tuple(1, 1), std::make_tuple(2, 2),
                                           std::make_tuple(3, 3)));

TEST_F(TrieAbc, ExactLookupFindsWholeWordsOnly) {
  EXPECT_EQ(Exact("A"), nullptr);
  EXPECT_EQ(Exact("AB"), &ab_);
  EXPECT_EQ(Exact("ABC"), &abc_);
  EXPECT_EQ(Exact("ABCD"), nullptr);
  EXPECT_EQ(Exact(""), nullptr);
}

TEST_F(TrieAbc, ReinsertingReplacesAndEmptyWordsChangeNothing) {
  DictUnit again = Unit("AB"), a = Unit("A"), empty;
  trie_.InsertNode(again.word, &again);
  trie_.InsertNode(a.word, &a);
  trie_.InsertNode(empty.word, &empty);
  EXPECT_EQ(Exact("AB"), &again);
  EXPECT_EQ(Exact(""), nullptr);
  EXPECT_EQ(Dags(512)[0], (Pairs{{0, &a}, {1, &again}, {2, &abc_}}));
}

// Every prefix of a run of one rune is a word, so position 0 has more candidates than fit inline.
TEST(Trie, MoreThanSixteenCandidatesAtOnePosition) {
  std::string text;
  std::vector<DictUnit> units;
  for (int i = 0; i < 24; ++i) units.push_back(Unit(text += "\xE4\xB8\x80"));
  jieba::Trie trie;
  for (const DictUnit& unit : units) trie.InsertNode(unit.word, &unit);
  jieba::RuneStrArray runes;
  ASSERT_TRUE(jieba::DecodeRunesInString(text, runes));
  std::vector<Dag> dags;
  trie.Find(runes.begin(), runes.end(), dags, 512);
  ASSERT_EQ(dags[0].candidates.size(), 24u);
  for (std::size_t j = 0; j < 24; ++j) EXPECT_EQ(dags[0].candidates[j].second, &units[j]);
  EXPECT_EQ(dags[10].candidates.size(), 14u);
}

// Child tables hold any rune value, grow from one child to thousands, and answer misses when full.
class TrieChildren : public ::testing::TestWithParam<std::tuple<Rune, int, Rune>> {};

TEST_P(TrieChildren, EveryInsertedRuneIsFoundAndOnlyThose) {
  const auto [first, count, stride] = GetParam();
  std::vector<jieba::TrieNode> nodes(count);
  jieba::TrieChildMap map;
  for (int i = 0; i < count; ++i) map.Insert(first + i * stride, &nodes[i]);
  for (int i = 0; i < count; ++i) EXPECT_EQ(map.Find(first + i * stride), &nodes[i]);
  EXPECT_EQ(map.Find(first + count * stride), nullptr);
  std::size_t visited = 0;
  map.ForEach([&](Rune key, jieba::TrieNode* child) { visited += map.Find(key) == child; });
  EXPECT_EQ(visited, static_cast<std::size_t>(count));
}

INSTANTIATE_TEST_SUITE_P(KeySets, TrieChildren,
                         ::testing::Values(std::make_tuple(0u, 0, 1u), std::make_tuple(0xFFFFFFFFu, 1, 1u),
                                           std::make_tuple(0u, 1, 7u), std::make_tuple(0x4E00u, 3, 9u),
                                           std::make_tuple(0u, 2, 1u), std::make_tuple(0x4E00u, 4, 1u),
                                           std::make_tuple(0x4E00u, 5, 1u), std::make_tuple(0x4E00u, 7000, 1u),
                                           std::make_tuple(0u, 3000, 65536u)));

// Freeing walks the trie without recursion: one absurdly long word cannot overflow the stack.
TEST(Trie, VeryDeepTrieIsFreed) {
  DictUnit unit;
  for (Rune r = 0; r < 300000; ++r) unit.word.push_back(0x4E00 + r % 64);
  auto trie = std::make_unique<jieba::Trie>();
  trie->InsertNode(unit.word, &unit);
  EXPECT_EQ(trie->Find(unit.word.begin(), unit.word.end()), &unit);
  trie.reset();
}

}  // namespace
