#pragma once

// Text to index terms: fold characters, segment, drop terms without a letter, digit or
// ideograph, drop stop words. Read-only after construction; any number of threads may analyze.
#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "index/CharFolding.h"
#include "tokenizer/jieba/Jieba.h"

namespace lumo::index {

enum class CutMode { kDefault, kSearch };

// The term rules a saved index was built with, so that it keeps analyzing as it did.
enum class TermRules {
  // Stop words as listed (digits among them); letter-digit runs as the segmenter cuts them.
  kFirst = 1,
  // Numbers and single letters are never stop words; a run of letters and digits ("cvpr2022")
  // gives its letter and digit parts ("cvpr", "2022"), so that the spellings "CVPR2022",
  // "CVPR 2022" and "cvpr-2022" give the same terms.
  kNumbers = 2,
};
inline constexpr TermRules kNewestTermRules = TermRules::kNumbers;

// InvalidArgument for a number that names no rules.
TermRules TermRulesFromNumber(int number);

// Every setting is given: the defaults live with the callers' configuration, in one place.
struct AnalyzerSettings {
  AnalyzerSettings(CutMode mode, bool hmm, float bigram_weight, TermRules rules)
      : mode(mode), hmm(hmm), bigram_weight(bigram_weight), rules(rules) {}
  CutMode mode;
  bool hmm;
  // Weight of the second field, the character bigrams of runs of ideographs; 0 leaves it out.
  float bigram_weight;
  TermRules rules;
};

// Terms of the bigram field start with this byte, which no word term holds (control
// characters are never part of a word with a letter, digit or ideograph in it).
inline constexpr char kBigramMark = '\x01';
inline bool IsBigramTerm(std::string_view term) { return !term.empty() && term.front() == kBigramMark; }

// The terms of one text: views into `folded`, which the object owns. Reuse one object for many
// texts (its buffers are kept); do not copy or move it while the views are in use.
struct AnalyzedText {
  std::string folded;
  std::string bigram_text;
  std::vector<std::string_view> terms;  // the word terms, then the bigram terms
  std::vector<std::string_view> words;  // scratch: the segmenter's words
};

class Analyzer {
 public:
  // InvalidArgument for a bigram weight that is not a number from 0 to 1e6.
  Analyzer(std::shared_ptr<const typing::text::jieba::Jieba> segmenter, std::shared_ptr<const CharTable> t2s,
           std::vector<std::string> stop_words, AnalyzerSettings settings);

  // The stop-word set holds views into the object's own storage.
  Analyzer(const Analyzer&) = delete;
  Analyzer& operator=(const Analyzer&) = delete;

  // Replaces `out` by the terms of `text`, in text order, repeats kept: the words, then (with a
  // bigram weight) the bigram terms. A text whose words are all stop words has no terms at
  // all, so a query of only stop words finds nothing. Throws Interrupted once `cancel` is true
  // (checked between pieces of a long text; one unbroken run of text is segmented in one step).
  void Analyze(std::string_view text, AnalyzedText& out, const std::atomic<bool>* cancel = nullptr) const;
  std::vector<std::string> Analyze(std::string_view text) const;

  const AnalyzerSettings& settings() const { return settings_; }
  std::size_t stop_word_count() const { return stop_words_.size(); }

 private:
  void SegmentWords(AnalyzedText& out, const std::atomic<bool>* cancel) const;
  void AppendWord(std::string_view word, AnalyzedText& out) const;
  // `bytes`: the size of all the bigram terms, counted ahead.
  void AppendBigrams(std::size_t bytes, AnalyzedText& out) const;

  std::shared_ptr<const typing::text::jieba::Jieba> segmenter_;
  std::shared_ptr<const CharTable> t2s_;
  std::vector<std::string> stop_word_storage_;
  std::unordered_set<std::string_view> stop_words_;  // views into stop_word_storage_
  AnalyzerSettings settings_;
};

}  // namespace lumo::index
