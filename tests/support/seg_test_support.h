#pragma once
// Small dictionaries and HMM models for the segmenter tests, written into a scratch directory.

#include <memory>
#include <string>
#include <vector>

#include "lexical_test_support.h"
#include "tokenizer/jieba/DictTrie.h"
#include "tokenizer/jieba/HMMModel.h"

namespace segtest {

inline std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

// The single main entry "Z 10 z": every main weight is ln(10/10) = 0, so an unknown rune costs
// exactly 0, a user word without frequency weighs 0 and one of frequency f weighs ln(f/10).
inline const std::string ZERO = "Z 10 z\n";

// States B E M S. 甲 opens a word, 乙 closes it, 中 sits inside, 单 stands alone; B and M must be
// followed by E or M, E and S by B or S. Small integers keep every path weight exact.
inline std::string PlainModel() {
  return Lines({"# start", "-1 -3.14e+100 -3.14e+100 -2", "# transitions", "-3.14e+100 -1 -2 -3.14e+100",
                "-1 -3.14e+100 -3.14e+100 -2", "-3.14e+100 -1 -2 -3.14e+100", "-1 -3.14e+100 -3.14e+100 -2",
                "# emissions", "甲:-1,乙:-8,中:-8,单:-8", "甲:-8,乙:-1,中:-8,单:-8", "甲:-8,乙:-8,中:-1,单:-8",
                "甲:-8,乙:-8,中:-8,单:-1"});
}

// Every emission of 某 is -1; only the start and transition numbers decide.
inline std::string TieModel(const std::string& m_to_e, const std::string& s_to_s) {
  return Lines({"-1 -100 -100 -1", "-100 -1 -1 -100", "-1 -100 -100 -1", "-100 " + m_to_e + " -3 -100",
                "-1 -100 -100 " + s_to_s, "某:-1", "某:-1", "某:-1", "某:-1"});
}

struct Resources {
  lexical_test::TempDir dir;
  std::unique_ptr<lumo::typing::text::jieba::DictTrie> dict;
  std::unique_ptr<lumo::typing::text::jieba::HMMModel> model;

  explicit Resources(const std::string& main_dict, const std::string& user_dict = "",
                     const std::string& hmm = PlainModel()) {
    const std::string user_path = user_dict.empty() ? "" : dir.Write("user.dict", user_dict);
    dict = std::make_unique<lumo::typing::text::jieba::DictTrie>(dir.Write("main.dict", main_dict), user_path);
    model = std::make_unique<lumo::typing::text::jieba::HMMModel>(dir.Write("model.hmm", hmm));
  }
};

// Words joined by "|", so that a failure shows the whole cut.
inline std::string Join(const std::vector<std::string>& words) {
  std::string out;
  for (std::size_t i = 0; i < words.size(); ++i) out += (i > 0 ? "|" : "") + words[i];
  return out;
}

}  // namespace segtest
