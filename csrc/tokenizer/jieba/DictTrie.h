#pragma once

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tokenizer/jieba/DictUnit.h"
#include "tokenizer/jieba/Trie.h"
#include "tokenizer/jieba/Unicode.h"
#include "tokenizer/limonp/InputFile.h"
#include "tokenizer/limonp/Logger.h"
#include "tokenizer/limonp/StringUtil.h"

namespace lumo::typing::text::jieba {

// Columns of a main-dictionary line: word, frequency, tag.
const std::size_t DICT_COLUMN_NUM = 3;

// The longest word, in runes, that any segmenter asks the trie for: a dictionary word longer
// than this loads but is never found, so the loader reports it.
inline constexpr std::size_t MAX_WORD_LENGTH = 512;

// The segmenter's vocabulary: the main dictionary and any user dictionaries, weighted by
// log-probability and indexed by a character trie. Loaded whole by the constructor (a broken
// main dictionary or an unreadable file stops construction with a FATAL record), read-only after.
class DictTrie {
 public:
  // Weight given to user words that carry no frequency of their own. The fixed underlying type
  // makes every int a valid value, so values other than these three are well defined (maximum).
  enum UserWordWeightOption : int {
    UserWordWeightMin = 0,
    UserWordWeightMedian = 1,
    UserWordWeightMax = 2,
  };

  // `user_dict_path` lists user dictionaries separated by "|" or ";"; empty for none.
  explicit DictTrie(const std::string& dict_path, const std::string& user_dict_path = "",
                    UserWordWeightOption option = UserWordWeightMedian) {
    Init(dict_path, user_dict_path, option);
  }

  ~DictTrie() { trie_.reset(); }

  DictTrie(const DictTrie&) = delete;
  DictTrie& operator=(const DictTrie&) = delete;

  // The entry whose word is exactly the runes of [begin, end), or none.
  const DictUnit* Find(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end) const {
    return trie_->Find(begin, end);
  }
  const DictUnit* Find(RuneArray::const_iterator begin, RuneArray::const_iterator end) const {
    return trie_->Find(begin, end);
  }

  // The candidate words at every position of [begin, end) (see Trie::Find).
  void Find(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, std::vector<Dag>& dags,
            std::size_t max_word_length) const {
    trie_->Find(begin, end, dags, max_word_length);
  }
  // The same words, one position at a time and without storing them (see Trie::ForEachWordAt).
  template <class Visit>
  void ForEachWordAt(RuneStrArray::const_iterator begin, RuneStrArray::const_iterator end, std::size_t i,
                     std::size_t max_word_length, Visit&& visit) const {
    trie_->ForEachWordAt(begin, end, i, max_word_length, std::forward<Visit>(visit));
  }

  bool IsSingleRuneUserWord(Rune rune) const { return single_rune_user_words_.count(rune) > 0; }

  // Smallest main-dictionary weight: the cost of a rune the dictionary does not know.
  double GetMinWeight() const { return min_weight_; }
  double GetMaxWeight() const { return max_weight_; }
  double GetMedianWeight() const { return median_weight_; }
  double GetUserWordWeight() const { return user_word_weight_; }
  double GetTotalFreq() const { return total_freq_; }
  // Every entry: main dictionary in file order, then the user dictionaries.
  const std::vector<DictUnit>& GetDictUnits() const { return static_node_infos_; }

 private:
  static constexpr const char* kLogLabel = "csrc/tokenizer/jieba/DictTrie";

  void Init(const std::string& dict_path, const std::string& user_dict_path, UserWordWeightOption option) {
    LoadDict(dict_path);
    total_freq_ = 0.0;
    for (const DictUnit& unit : static_node_infos_) {
      total_freq_ += unit.weight;
    }
    // Each frequency was checked to be finite and not negative; a sum of zero, or one that
    // overflows, would still make weights that are not numbers and break the statistics.
    if (!static_node_infos_.empty()) {
      LUMO_CHECK(total_freq_ > 0 && std::isfinite(total_freq_), kLogLabel)
          << "frequencies in " << dict_path << " add up to " << total_freq_
          << "; they must add up to a positive finite number";
    }
    for (DictUnit& unit : static_node_infos_) {
      unit.weight = std::log(unit.weight / total_freq_);
    }
    SetStaticWordWeights(option);
    if (!user_dict_path.empty()) {
      LoadUserDict(user_dict_path);
    }
    Shrink(static_node_infos_);
    CreateTrie(static_node_infos_);
  }

  // Reads the main dictionary; each entry's weight holds its raw frequency until Init turns it
  // into a log-probability.
  void LoadDict(const std::string& file_path) {
    std::ifstream ifs;
    limonp::OpenForReading(ifs, file_path);
    LUMO_CHECK(ifs.is_open(), kLogLabel) << "open " << limonp::ShownPath(file_path) << " failed.";
    // Reserving the entries up front spares the copies of regrowth, and without user
    // dictionaries Shrink then finds the storage already exact.
    static_node_infos_.reserve(static_node_infos_.size() + CountEntryLines(ifs));
    std::string line;
    std::vector<std::string> buf;
    DictUnit node_info;
    for (std::size_t lineno = 1; std::getline(ifs, line); ++lineno) {
      limonp::Split(line, buf, " ");
      LUMO_CHECK(buf.size() == DICT_COLUMN_NUM, kLogLabel) << "split result illegal, line:" << line;
      // The whole column must be the number: "abc", "5abc" or the empty column of a line with
      // two spaces in a row would otherwise read as a frequency of 0 or 5.
      double freq = 0.0;
      const bool is_number = limonp::ParseWholeDouble(buf[1], freq);
      LUMO_CHECK(is_number && std::isfinite(freq) && freq >= 0, kLogLabel)
          << "frequency must be a finite number of at least 0, in " << limonp::ShownPath(file_path) << ":" << lineno
          << ", line:" << line;
      if (MakeNodeInfo(node_info, buf[0], freq, buf[2])) {
        ReportUnreachable(node_info, file_path, lineno);
        static_node_infos_.push_back(node_info);
      }
    }
  }

  // The segmenters look words up only to MAX_WORD_LENGTH runes: a longer word stays in the
  // dictionary (and in its statistics) but no cut can produce it, which is worth knowing.
  static void ReportUnreachable(const DictUnit& unit, const std::string& file_path, std::size_t lineno) {
    if (unit.word.size() > MAX_WORD_LENGTH) {
      LUMO_LOG(ERROR, kLogLabel) << "word of " << unit.word.size() << " runes in " << limonp::ShownPath(file_path)
                                 << ":" << lineno << " is longer than the " << MAX_WORD_LENGTH
                                 << "-rune maximum; no cut returns it";
    }
  }

  // Non-empty lines, each of which becomes at most one entry; the stream is left rewound. Empty
  // lines are left out so that a file of blank lines, which fails anyway, reserves nothing.
  static std::size_t CountEntryLines(std::ifstream& ifs) {
    std::size_t lines = 0;
    bool open_line = false;
    char chunk[1 << 16];
    while (ifs.read(chunk, sizeof(chunk)) || ifs.gcount() > 0) {
      const std::streamsize got = ifs.gcount();
      for (std::streamsize i = 0; i < got; ++i) {
        if (chunk[i] != '\n') {
          open_line = true;
        } else if (open_line) {
          ++lines;
          open_line = false;
        }
      }
    }
    ifs.clear();
    ifs.seekg(0);
    return lines + (open_line ? 1 : 0);
  }

  bool MakeNodeInfo(DictUnit& node_info, const std::string& word, double weight, const std::string& tag) {
    if (!DecodeRunesInString(word, node_info.word)) {
      LUMO_LOG(ERROR, kLogLabel) << "Decode " << word << " failed.";
      return false;
    }
    node_info.weight = weight;
    node_info.tag = tag;
    return true;
  }

  // Minimum, maximum and median (index n / 2 of the ascending order) of the main-dictionary
  // weights; only values are needed, so a selection over a copy of the weights replaces a sort.
  void SetStaticWordWeights(UserWordWeightOption option) {
    LUMO_CHECK(!static_node_infos_.empty(), kLogLabel);
    std::vector<double> weights;
    weights.reserve(static_node_infos_.size());
    for (const DictUnit& unit : static_node_infos_) {
      weights.push_back(unit.weight);
    }
    const auto middle = weights.begin() + static_cast<std::ptrdiff_t>(weights.size() / 2);
    std::nth_element(weights.begin(), middle, weights.end());
    median_weight_ = *middle;
    min_weight_ = *std::min_element(weights.begin(), middle + 1);
    max_weight_ = *std::max_element(middle, weights.end());
    switch (option) {
      case UserWordWeightMin:
        user_word_weight_ = min_weight_;
        break;
      case UserWordWeightMedian:
        user_word_weight_ = median_weight_;
        break;
      default:
        user_word_weight_ = max_weight_;
        break;
    }
  }

  void LoadUserDict(const std::string& file_paths) {
    const std::vector<std::string> files = limonp::Split(file_paths, "|;");
    for (const std::string& path : files) {
      std::ifstream ifs;
      limonp::OpenForReading(ifs, path);
      LUMO_CHECK(ifs.is_open(), kLogLabel) << "open " << limonp::ShownPath(path) << " failed";
      std::string line;
      for (std::size_t lineno = 1; std::getline(ifs, line); ++lineno) {
        if (line.empty()) {
          continue;
        }
        InsertUserDictNode(line, path, lineno);
      }
    }
  }

  // A user line is "word", "word tag" or "word frequency tag"; other lines have no effect. A
  // frequency that is not a whole number of at least 1 would make a weight of -inf or NaN: such
  // a line is reported and skipped.
  void InsertUserDictNode(const std::string& line, const std::string& file_path = "", std::size_t lineno = 0) {
    std::vector<std::string> buf;
    limonp::Split(line, buf, " ");
    DictUnit node_info;
    bool decoded = false;
    if (buf.size() == 1) {
      decoded = MakeNodeInfo(node_info, buf[0], user_word_weight_, "");
    } else if (buf.size() == 2) {
      decoded = MakeNodeInfo(node_info, buf[0], user_word_weight_, buf[1]);
    } else if (buf.size() == 3) {
      int freq = 0;
      if (!ParseUserFrequency(buf[1], freq) || freq <= 0) {
        LUMO_LOG(ERROR, kLogLabel) << "frequency must be a whole number of at least 1, in "
                                   << limonp::ShownPath(file_path) << ":" << lineno << ", line skipped:" << line;
        return;
      }
      decoded = MakeNodeInfo(node_info, buf[0], std::log(static_cast<double>(freq) / total_freq_), buf[2]);
    } else {
      return;
    }
    if (!decoded) {
      return;
    }
    ReportUnreachable(node_info, file_path, lineno);
    static_node_infos_.push_back(node_info);
    if (node_info.word.size() == 1) {
      single_rune_user_words_.insert(node_info.word[0]);
    }
  }

  // A leading integer as atoi reads it (blanks, sign, digits; "2.9" is 2), but saturated at the
  // int range instead of overflowing on an absurdly long number. False when there are no digits.
  static bool ParseUserFrequency(const std::string& text, int& value) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const long parsed = std::strtol(begin, &end, 10);
    value = static_cast<int>(std::clamp<long>(parsed, INT_MIN, INT_MAX));
    return end != begin;
  }

  // The trie points into the entries, so their storage must have its final size first.
  static void Shrink(std::vector<DictUnit>& units) {
    if (units.capacity() != units.size()) {
      std::vector<DictUnit>(units.begin(), units.end()).swap(units);
    }
  }

  // Later entries replace earlier ones with the same word: user words override main ones.
  void CreateTrie(const std::vector<DictUnit>& units) {
    auto trie = std::make_unique<Trie>();
    for (const DictUnit& unit : units) {
      trie->InsertNode(unit.word, &unit);
    }
    trie_ = std::move(trie);
  }

  std::vector<DictUnit> static_node_infos_;
  std::unique_ptr<Trie> trie_;
  double total_freq_ = 0.0;
  double min_weight_ = 0.0;
  double max_weight_ = 0.0;
  double median_weight_ = 0.0;
  double user_word_weight_ = 0.0;
  std::unordered_set<Rune> single_rune_user_words_;
};

}  // namespace lumo::typing::text::jieba
