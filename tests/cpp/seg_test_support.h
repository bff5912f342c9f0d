#pragma once
// Small data files for the segmenter tests, written into a fresh temporary directory.

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "lexical_test_support.h"
#include "tokenizer/jieba/DictTrie.h"
#include "tokenizer/jieba/HMMModel.h"

namespace segtest {

using lexical_test::TempDir;

inline std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) {
    out += l;
    out += '\n';
  }
  return out;
}

// A main dictionary of the single entry "Z 10 z": every main weight is ln(10/10) = 0, so a rune
// outside the dictionary costs exactly 0, user words without a frequency weigh 0, and a user
// word with frequency f weighs ln(f/10) -- sums of such weights compare exactly.
inline const char* const ZERO_MAIN_DICT = "Z 10 z\n";

// States B E M S. A model in which 甲 opens a word, 乙 closes it, 中 sits inside and 单 stands
// alone; B and M must be followed by E or M, E and S by B or S. Numbers are small integers, so
// every path weight is exact.
inline std::string PlainModel() {
  return Lines({
      "# start",
      "-1 -3.14e+100 -3.14e+100 -2",
      "# transitions from B, E, M, S",
      "-3.14e+100 -1 -2 -3.14e+100",
      "-1 -3.14e+100 -3.14e+100 -2",
      "-3.14e+100 -1 -2 -3.14e+100",
      "-1 -3.14e+100 -3.14e+100 -2",
      "# emissions of B, E, M, S",
      "甲:-1,乙:-8,中:-8,单:-8",
      "甲:-8,乙:-1,中:-8,单:-8",
      "甲:-8,乙:-8,中:-1,单:-8",
      "甲:-8,乙:-8,中:-8,单:-1",
  });
}

// Owns a dictionary and a model built from texts, for one test.
struct Resources {
  TempDir dir;
  std::unique_ptr<lumo::typing::text::jieba::DictTrie> dict;
  std::unique_ptr<lumo::typing::text::jieba::HMMModel> model;

  Resources(const std::string& main_dict, const std::string& user_dict = "",
            const std::string& hmm = PlainModel()) {
    const std::string main_path = dir.Write("main.dict", main_dict);
    const std::string user_path = user_dict.empty() ? "" : dir.Write("user.dict", user_dict);
    dict = std::make_unique<lumo::typing::text::jieba::DictTrie>(main_path, user_path);
    model = std::make_unique<lumo::typing::text::jieba::HMMModel>(dir.Write("model.hmm", hmm));
  }
};

// Words joined by "/" so that a failure shows the whole cut.
inline std::string Join(const std::vector<std::string>& words) {
  std::string out;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0) {
      out += '/';
    }
    out += words[i];
  }
  return out;
}

}  // namespace segtest
