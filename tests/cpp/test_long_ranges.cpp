// The max-probability route, found in one backward pass straight over the trie, must be the
// route of the whole-range DAG computed from its definition, on short and very long ranges,
// with ties and with words longer than the word-length limit.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "seg_test_support.h"
#include "tokenizer/jieba/MPSegment.h"
#include "tokenizer/jieba/Trie.h"
#include "tokenizer/jieba/Unicode.h"

namespace {

using namespace lumo::typing::text::jieba;

// Words over a, b, c, d with equal frequencies among them (ties), words up to 9 runes, and one
// word longer than the 512-rune limit that a window boundary could cut through.
std::string Dictionary() {
  std::vector<std::string> lines = {"a 50 x", "b 50 x",   "ab 30 x",  "ba 30 x",  "abc 20 x", "bcd 20 x",     "cd 5 x",
                                    "dd 5 x", "abcd 9 x", "dabc 9 x", "aaaa 3 x", "cccc 3 x", "abcdabcda 2 x"};
  lines.push_back(std::string(600, 'c') + " 1 x");
  return segtest::Lines(lines);
}

std::string RandomText(std::size_t n, std::uint64_t seed) {
  std::string text;
  for (std::size_t i = 0; i < n; ++i) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    const unsigned r = static_cast<unsigned>(seed >> 59);  // 0..31
    // Mostly short varied runs, with stretches of c long enough for the 600-rune word.
    text += r < 30 ? "abcd"[r % 4] : 'c';
    if (r == 31 && i + 700 < n) {
      text += std::string(700, 'c');
      i += 700;
    }
  }
  return text;
}

// The route straight from the definition: whole-range DAG, backward pass, forward cut.
std::vector<std::pair<std::size_t, std::size_t>> ReferenceRoute(const DictTrie& dict, const RuneStrArray& runes,
                                                                std::size_t max_len) {
  std::vector<Dag> dags;
  dict.Find(runes.begin(), runes.end(), dags, max_len);
  const std::size_t n = dags.size();
  for (std::size_t i = n; i-- > 0;) {
    dags[i].best_unit = nullptr;
    dags[i].best_weight = MIN_LOG_PROB;
    for (const auto& [j, unit] : dags[i].candidates) {
      double value = j + 1 < n ? dags[j + 1].best_weight : 0.0;
      value += unit != nullptr ? unit->weight : dict.GetMinWeight();
      if (value > dags[i].best_weight) {
        dags[i].best_unit = unit;
        dags[i].best_weight = value;
      }
    }
  }
  std::vector<std::pair<std::size_t, std::size_t>> route;
  for (std::size_t i = 0; i < n;) {
    const std::size_t len = dags[i].best_unit != nullptr ? dags[i].best_unit->word.size() : 1;
    route.emplace_back(i, len);
    i += len;
  }
  return route;
}

struct LongCase {
  std::size_t runes;
  std::size_t max_len;
  std::uint64_t seed;
};

class Routes : public ::testing::TestWithParam<LongCase> {};

TEST_P(Routes, EqualTheRouteOfTheWholeRangeDag) {
  const auto [n, max_len, seed] = GetParam();
  segtest::Resources res(Dictionary());
  const std::string text = RandomText(n, seed);
  RuneStrArray runes;
  ASSERT_TRUE(DecodeRunesInString(text, runes));
  ASSERT_EQ(runes.size(), n);

  MPSegment segment(res.dict.get());
  std::vector<WordRange> ranges;
  segment.Cut(runes.begin(), runes.end(), ranges, max_len);
  std::vector<std::pair<std::size_t, std::size_t>> got;
  for (const WordRange& w : ranges)
    got.emplace_back(static_cast<std::size_t>(w.first - runes.begin()), static_cast<std::size_t>(w.last - w.first + 1));
  EXPECT_EQ(got, ReferenceRoute(*res.dict, runes, max_len));
}

INSTANTIATE_TEST_SUITE_P(Lengths, Routes,
                         ::testing::Values(LongCase{1, 512, 7}, LongCase{9, 512, 8}, LongCase{2049, 512, 1},
                                           LongCase{6161, 512, 2}, LongCase{10240, 512, 3}, LongCase{4101, 3, 4},
                                           LongCase{4101, 1, 5}, LongCase{8195, 600, 6}, LongCase{300, 0, 9}));

}  // namespace
