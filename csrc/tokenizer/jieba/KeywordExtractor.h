#pragma once

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tokenizer/jieba/DictTrie.h"
#include "tokenizer/jieba/HMMModel.h"
#include "tokenizer/jieba/MixSegment.h"
#include "tokenizer/limonp/InputFile.h"
#include "tokenizer/limonp/Logger.h"
#include "tokenizer/limonp/StringUtil.h"

namespace lumo::typing::text::jieba {

// Resources of keyword extraction: the IDF of each word and the stop-word set. Both files must
// be readable for construction to succeed; a broken IDF line is reported and skipped.
class KeywordExtractor {
 public:
  // `dict_trie` and `model` are not owned and must outlive the extractor.
  KeywordExtractor(const DictTrie* dict_trie, const HMMModel* model, const std::string& idf_path,
                   const std::string& stop_word_path)
      : segment_(dict_trie, model), idf_average_(0.0) {
    LoadIdfDict(idf_path);
    LoadStopWordDict(stop_word_path);
  }

  const std::unordered_map<std::string, double>& GetIdfMap() const { return idf_map_; }
  // Sum of the accepted IDF values over the number of lines read, rejected lines included; 0
  // for a file without lines.
  double GetIdfAverage() const { return idf_average_; }
  const std::unordered_set<std::string>& GetStopWords() const { return stop_words_; }

 private:
  static constexpr const char* kLogLabel = "csrc/tokenizer/jieba/KeywordExtractor";

  // Lines are "word idf"; the line index in records counts from 0.
  void LoadIdfDict(const std::string& idf_path) {
    std::ifstream ifs;
    limonp::OpenForReading(ifs, idf_path);
    LUMO_CHECK(ifs.is_open(), kLogLabel) << "open " << limonp::ShownPath(idf_path) << " failed";
    std::string line;
    std::vector<std::string> buf;
    double idf_sum = 0.0;
    std::size_t lineno = 0;
    for (; std::getline(ifs, line); ++lineno) {
      if (line.empty()) {
        LUMO_LOG(ERROR, kLogLabel) << "lineno: " << lineno << " empty. skipped.";
        continue;
      }
      limonp::Split(line, buf, " ");
      if (buf.size() != 2) {
        LUMO_LOG(ERROR, kLogLabel) << "line: " << line << ", lineno: " << lineno << " empty. skipped.";
        continue;
      }
      double idf = 0.0;
      if (!IsIdf(buf[1], idf)) {
        LUMO_LOG(ERROR, kLogLabel) << "line: " << line << ", lineno: " << lineno << ", in "
                                   << limonp::ShownPath(idf_path) << ": the idf is not a finite number. skipped.";
        continue;
      }
      idf_map_[buf[0]] = idf;
      idf_sum += idf;
    }
    // A file without lines has no average: 0 rather than 0 / 0.
    idf_average_ = lineno == 0 ? 0.0 : idf_sum / static_cast<double>(lineno);
  }

  // The whole column is the number, finite; a carriage return after it (a file with CRLF line
  // ends) is allowed.
  static bool IsIdf(const std::string& text, double& value) {
    const bool cr = !text.empty() && text.back() == '\r';
    return limonp::ParseWholeDouble(cr ? text.substr(0, text.size() - 1) : text, value) && std::isfinite(value);
  }

  // One stop word per line, kept exactly as read.
  void LoadStopWordDict(const std::string& file_path) {
    std::ifstream ifs;
    limonp::OpenForReading(ifs, file_path);
    LUMO_CHECK(ifs.is_open(), kLogLabel) << "open " << limonp::ShownPath(file_path) << " failed";
    std::string line;
    while (std::getline(ifs, line)) {
      stop_words_.insert(line);
    }
  }

  // Its own segmenter over the caller's dictionary and model.
  MixSegment segment_;
  std::unordered_map<std::string, double> idf_map_;
  double idf_average_;
  std::unordered_set<std::string> stop_words_;
};

}  // namespace lumo::typing::text::jieba
