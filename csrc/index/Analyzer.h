#pragma once

// Text to index terms: fold characters, segment, drop terms without a letter, digit or
// ideograph, drop stop words. Read-only after construction; any number of threads may analyze.
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "index/CharFolding.h"
#include "tokenizer/jieba/Jieba.h"

namespace lumo::index {

enum class CutMode { kDefault, kSearch };

struct AnalyzerSettings {
  CutMode mode = CutMode::kDefault;
  bool hmm = true;
};

// The terms of one text: views into `folded`, which the object owns. Reuse one object for many
// texts (its buffers are kept); do not copy or move it while the views are in use.
struct AnalyzedText {
  std::string folded;
  std::vector<std::string_view> terms;
};

class Analyzer {
 public:
  Analyzer(std::shared_ptr<const typing::text::jieba::Jieba> segmenter, std::shared_ptr<const CharTable> t2s,
           std::vector<std::string> stop_words, AnalyzerSettings settings);

  // The stop-word set holds views into the object's own storage.
  Analyzer(const Analyzer&) = delete;
  Analyzer& operator=(const Analyzer&) = delete;

  // Replaces `out` by the terms of `text`, in text order, repeats kept.
  void Analyze(std::string_view text, AnalyzedText& out) const;
  std::vector<std::string> Analyze(std::string_view text) const;

  const AnalyzerSettings& settings() const { return settings_; }
  std::size_t stop_word_count() const { return stop_words_.size(); }

 private:
  std::shared_ptr<const typing::text::jieba::Jieba> segmenter_;
  std::shared_ptr<const CharTable> t2s_;
  std::vector<std::string> stop_word_storage_;
  std::unordered_set<std::string_view> stop_words_;  // views into stop_word_storage_
  AnalyzerSettings settings_;
};

}  // namespace lumo::index
