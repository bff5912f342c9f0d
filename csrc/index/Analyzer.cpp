#include "index/Analyzer.h"

#include <utility>

#include "index/Utf8.h"

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
  if (settings_.bigram_weight > 0) AppendBigrams(out);
}

namespace {
bool IsIdeograph(char32_t cp) {
  return (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xF900 && cp <= 0xFAFF) ||
         (cp >= 0x20000 && cp <= 0x3FFFF);
}
}  // namespace

void Analyzer::AppendBigrams(AnalyzedText& out) const {
  // Each bigram is stored as mark + two characters; the views are taken once the text is whole.
  out.bigram_text.clear();
  std::vector<std::size_t> starts;
  std::string_view text = out.folded;
  std::size_t i = 0, previous_start = 0;
  bool previous_ideograph = false;
  while (i < text.size()) {
    const std::size_t start = i;
    const bool ideograph = IsIdeograph(DecodeUtf8(text, i));
    if (ideograph && previous_ideograph) {
      starts.push_back(out.bigram_text.size());
      out.bigram_text.push_back(kBigramMark);
      out.bigram_text.append(text.substr(previous_start, i - previous_start));
    }
    previous_ideograph = ideograph;
    previous_start = start;
  }
  starts.push_back(out.bigram_text.size());
  const std::string_view all = out.bigram_text;
  for (std::size_t j = 0; j + 1 < starts.size(); ++j)
    out.terms.push_back(all.substr(starts[j], starts[j + 1] - starts[j]));
}

std::vector<std::string> Analyzer::Analyze(std::string_view text) const {
  AnalyzedText analyzed;
  Analyze(text, analyzed);
  return std::vector<std::string>(analyzed.terms.begin(), analyzed.terms.end());
}

}  // namespace lumo::index
