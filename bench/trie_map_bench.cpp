// Micro-benchmark of the trie's child map: the flat open-addressing table that Trie.h uses
// against a node-based std::unordered_map per node, on a synthetic 300,000-word dictionary.
// Measures building the trie, the heap it holds, DAG look-ups over running text and freeing it,
// and then the load time and footprint of a whole DictTrie built from the same words as a file.
//
//   trie_map_bench [running-text.txt] [words]
//
// With a text file, the dictionary words are Han-character n-grams drawn from that text (so the
// look-ups find words as in real use) and the look-ups run over its lines; without one, runes are
// drawn from the CJK block with a skewed distribution and the look-up text is made from them.

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tokenizer/jieba/DictTrie.h"
#include "tokenizer/jieba/Trie.h"

namespace jieba = lumo::typing::text::jieba;
using jieba::Dag;
using jieba::DictUnit;
using jieba::Rune;
using jieba::RuneArray;
using jieba::RuneStrArray;

namespace {

// The same trie walk as Trie.h, with std::unordered_map children held through a pointer
// (absent for leaves).
class UnorderedMapTrie {
 public:
  struct Node {
    std::unordered_map<Rune, Node*>* children = nullptr;
    const DictUnit* unit = nullptr;
  };

  UnorderedMapTrie() : root_(new Node) {}
  ~UnorderedMapTrie() {
    std::vector<Node*> pending(1, root_);
    while (!pending.empty()) {
      Node* node = pending.back();
      pending.pop_back();
      if (node->children != nullptr) {
        for (const auto& kv : *node->children) pending.push_back(kv.second);
        delete node->children;
      }
      delete node;
    }
  }

  void InsertNode(const RuneArray& word, const DictUnit* unit) {
    if (word.empty()) return;
    Node* node = root_;
    for (Rune rune : word) {
      if (node->children == nullptr) node->children = new std::unordered_map<Rune, Node*>;
      auto it = node->children->find(rune);
      if (it == node->children->end()) it = node->children->emplace(rune, new Node).first;
      node = it->second;
    }
    node->unit = unit;
  }

  void Find(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, std::vector<Dag>& dags,
            std::size_t max_word_length) const {
    const std::size_t n = static_cast<std::size_t>(end - begin);
    dags.clear();
    dags.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      Dag& dag = dags[i];
      dag.rune_str = begin[i];
      const Node* node = Child(root_, begin[i].rune);
      dag.candidates.push_back(Dag::Candidate(i, node == nullptr ? nullptr : node->unit));
      for (std::size_t j = i + 1; j < n && j - i + 1 <= max_word_length; ++j) {
        if (node == nullptr || node->children == nullptr) break;
        node = Child(node, begin[j].rune);
        if (node == nullptr) break;
        if (node->unit != nullptr) dag.candidates.push_back(Dag::Candidate(j, node->unit));
      }
    }
  }

 private:
  static const Node* Child(const Node* node, Rune rune) {
    if (node->children == nullptr) return nullptr;
    const auto it = node->children->find(rune);
    return it == node->children->end() ? nullptr : it->second;
  }

  Node* root_;
};

using Clock = std::chrono::steady_clock;

double Millis(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

std::size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

std::string Encode(Rune r) {
  std::string s;
  if (r < 0x80) {
    s += static_cast<char>(r);
  } else if (r < 0x800) {
    s += static_cast<char>(0xC0 | (r >> 6));
    s += static_cast<char>(0x80 | (r & 0x3F));
  } else {
    s += static_cast<char>(0xE0 | (r >> 12));
    s += static_cast<char>(0x80 | ((r >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (r & 0x3F));
  }
  return s;
}

bool IsHan(Rune r) { return r >= 0x4E00 && r <= 0x9FFF; }

// Word lengths in runes: mostly two, a long tail up to eight.
std::size_t DrawLength(std::mt19937_64& rng) {
  static std::discrete_distribution<int> lengths({5, 48, 24, 15, 4, 2, 1, 1});
  return static_cast<std::size_t>(lengths(rng)) + 1;
}

struct Corpus {
  std::vector<std::string> lines;
  std::vector<RuneStrArray> decoded;
};

std::vector<std::string> MakeWords(std::size_t count, const Corpus& corpus, std::mt19937_64& rng) {
  std::unordered_set<std::string> seen;
  std::vector<std::string> words;
  words.reserve(count);
  // Han runs of the text, to draw n-grams from.
  std::vector<std::vector<Rune>> runs;
  for (const RuneStrArray& line : corpus.decoded) {
    std::vector<Rune> run;
    for (const auto& r : line) {
      if (IsHan(r.rune)) {
        run.push_back(r.rune);
      } else if (!run.empty()) {
        runs.push_back(run);
        run.clear();
      }
    }
    if (!run.empty()) runs.push_back(run);
  }
  std::geometric_distribution<int> skew(0.0015);
  std::size_t attempts = 0;
  while (words.size() < count && attempts < count * 50) {
    ++attempts;
    const std::size_t len = DrawLength(rng);
    std::string word;
    if (!runs.empty()) {
      const auto& run = runs[rng() % runs.size()];
      if (run.size() < len) continue;
      const std::size_t at = rng() % (run.size() - len + 1);
      for (std::size_t k = 0; k < len; ++k) word += Encode(run[at + k]);
    } else {
      for (std::size_t k = 0; k < len; ++k) word += Encode(0x4E00 + static_cast<Rune>(skew(rng) % 20902));
    }
    if (seen.insert(word).second) words.push_back(word);
  }
  return words;
}

Corpus ReadCorpus(const char* path) {
  Corpus corpus;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    RuneStrArray runes;
    if (jieba::DecodeRunesInString(line, runes) && !runes.empty()) {
      corpus.lines.push_back(line);
      corpus.decoded.push_back(runes);
    }
  }
  return corpus;
}

// Look-up text when no file is given: sentences glued from dictionary words and noise runes.
Corpus SyntheticText(const std::vector<std::string>& words, std::mt19937_64& rng) {
  Corpus corpus;
  for (int i = 0; i < 40000; ++i) {
    std::string line;
    for (int k = 0; k < 12; ++k) {
      line += (rng() % 4 == 0) ? Encode(0x4E00 + static_cast<Rune>(rng() % 20902)) : words[rng() % words.size()];
    }
    RuneStrArray runes;
    jieba::DecodeRunesInString(line, runes);
    corpus.lines.push_back(line);
    corpus.decoded.push_back(runes);
  }
  return corpus;
}

struct Result {
  double build_ms = 1e300;
  double find_ms = 1e300;
  double free_ms = 1e300;
  std::size_t heap = 0;
  std::uint64_t checksum = 0;
};

template <class TrieType>
Result Measure(const std::vector<DictUnit>& units, const Corpus& text, int rounds) {
  Result r;
  for (int round = 0; round < rounds; ++round) {
    const std::size_t before = HeapInUse();
    const auto t0 = Clock::now();
    auto trie = std::make_unique<TrieType>();
    for (const DictUnit& unit : units) trie->InsertNode(unit.word, &unit);
    const auto t1 = Clock::now();
    r.heap = HeapInUse() - before;

    std::vector<Dag> dags;
    std::uint64_t checksum = 0;
    const auto t2 = Clock::now();
    for (const RuneStrArray& line : text.decoded) {
      trie->Find(line.begin(), line.end(), dags, 512);
      for (const Dag& dag : dags) {
        for (const auto& c : dag.candidates) checksum = checksum * 31 + c.first + (c.second != nullptr);
      }
    }
    const auto t3 = Clock::now();
    trie.reset();
    const auto t4 = Clock::now();
    r.build_ms = std::min(r.build_ms, Millis(t0, t1));
    r.find_ms = std::min(r.find_ms, Millis(t2, t3));
    r.free_ms = std::min(r.free_ms, Millis(t3, t4));
    r.checksum = checksum;
  }
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t word_count = argc > 2 ? std::stoul(argv[2]) : 300000;
  const int rounds = 5;
  std::mt19937_64 rng(20240601);

  Corpus corpus;
  if (argc > 1) corpus = ReadCorpus(argv[1]);
  const std::vector<std::string> words = MakeWords(word_count, corpus, rng);
  if (corpus.lines.empty()) corpus = SyntheticText(words, rng);
  std::size_t text_bytes = 0;
  for (const std::string& line : corpus.lines) text_bytes += line.size();

  std::vector<DictUnit> units(words.size());
  for (std::size_t i = 0; i < words.size(); ++i) jieba::DecodeRunesInString(words[i], units[i].word);

  std::printf("dictionary: %zu words (%s); look-up text: %zu lines, %.1f MB; best of %d rounds\n", words.size(),
              argc > 1 ? "n-grams of the text" : "synthetic runes", corpus.lines.size(), text_bytes / 1e6, rounds);
  std::printf("%-26s %10s %10s %12s %10s\n", "child map", "build ms", "free ms", "find ms", "heap MB");
  const Result flat = Measure<jieba::Trie>(units, corpus, rounds);
  const Result node = Measure<UnorderedMapTrie>(units, corpus, rounds);
  std::printf("%-26s %10.1f %10.1f %12.1f %10.1f\n", "open addressing (Trie.h)", flat.build_ms, flat.free_ms,
              flat.find_ms, flat.heap / 1048576.0);
  std::printf("%-26s %10.1f %10.1f %12.1f %10.1f\n", "std::unordered_map", node.build_ms, node.free_ms, node.find_ms,
              node.heap / 1048576.0);
  if (flat.checksum != node.checksum) {
    std::printf("error: the two tries disagree on the look-ups\n");
    return 1;
  }

  // The whole dictionary load as the tokenizer runs it, from a file of "word freq tag" lines.
  char path[] = "/tmp/lumotext-trie-bench-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return 1;
  close(fd);
  {
    std::ofstream out(path);
    static const char* const tags[] = {"n", "v", "a", "nz", "ns", "d", "m", "x"};
    for (const std::string& w : words) out << w << ' ' << (1 + rng() % 20000) << ' ' << tags[rng() % 8] << '\n';
  }
  double load_ms = 1e300;
  std::size_t load_heap = 0;
  for (int round = 0; round < rounds; ++round) {
    const std::size_t before = HeapInUse();
    const auto t0 = Clock::now();
    auto dict = std::make_unique<jieba::DictTrie>(path);
    const auto t1 = Clock::now();
    load_heap = HeapInUse() - before;
    load_ms = std::min(load_ms, Millis(t0, t1));
  }
  std::remove(path);
  std::printf("DictTrie load of the %zu-line file: %.1f ms, heap %.1f MB (entries %zu bytes each)\n", words.size(),
              load_ms, load_heap / 1048576.0, sizeof(DictUnit));
  return 0;
}
