#include "index/Analyzer.h"

#include <utility>

namespace lumo::index {

Analyzer::Analyzer(std::shared_ptr<const typing::text::jieba::Jieba> segmenter, std::shared_ptr<const CharTable> t2s,
                   std::vector<std::string> stop_words, AnalyzerSettings settings)
    : segmenter_(std::move(segmenter)), t2s_(std::move(t2s)), settings_(settings) {
  // Stop words are matched after folding, as the terms are.
  stop_word_storage_.reserve(stop_words.size());
  for (const std::string& word : stop_words) {
    std::string folded;
    FoldText(word, t2s_.get(), folded);
    if (!folded.empty()) stop_word_storage_.push_back(std::move(folded));
  }
  stop_words_.insert(stop_word_storage_.begin(), stop_word_storage_.end());
}

void Analyzer::Analyze(std::string_view text, AnalyzedText& out) const {
  out.folded.clear();
  out.terms.clear();
  FoldText(text, t2s_.get(), out.folded);
  if (out.folded.empty()) return;
  std::vector<std::string_view> words;
  if (settings_.mode == CutMode::kSearch) {
    segmenter_->CutForSearch(out.folded, words, settings_.hmm);
  } else {
    segmenter_->Cut(out.folded, words, settings_.hmm);
  }
  out.terms.reserve(words.size());
  for (std::string_view word : words) {
    if (!HasWordCharacter(word)) continue;
    if (!stop_words_.empty() && stop_words_.count(word) != 0) continue;
    out.terms.push_back(word);
  }
}

std::vector<std::string> Analyzer::Analyze(std::string_view text) const {
  AnalyzedText analyzed;
  Analyze(text, analyzed);
  return std::vector<std::string>(analyzed.terms.begin(), analyzed.terms.end());
}

}  // namespace lumo::index
