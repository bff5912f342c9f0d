// The index analyzer's term rules: numbers and single letters against a stop list, letter-digit
// runs split into parts, texts of stop words alone, and the settings it refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../../fuzz/IndexLoaderCheck.h"
#include "index/Analyzer.h"
#include "index/Errors.h"

namespace {

using lumo::index::Analyzer;
using lumo::index::AnalyzerSettings;
using lumo::index::CutMode;
using lumo::index::TermRules;
using Terms = std::vector<std::string>;

std::shared_ptr<const lumo::typing::text::jieba::Jieba> Segmenter() {
  // The test tokenizer lives for the whole run; the analyzer does not own it.
  return {std::shared_ptr<const lumo::typing::text::jieba::Jieba>(), &lumo::fuzz::SmallTokenizer()};
}

Terms Analyze(const std::string& text, TermRules rules, std::vector<std::string> stop_words, float bigrams = 0.0f) {
  const Analyzer analyzer(Segmenter(), nullptr, std::move(stop_words),
                          AnalyzerSettings(CutMode::kDefault, true, bigrams, rules));
  return analyzer.Analyze(text);
}

TEST(AnalyzerRules, NumbersAndSingleLettersSurviveAStopListUnderTheNewerRules) {
  const std::vector<std::string> stop{"\xef\xbc\x91", "7", "b", "ok"};  // full-width 1, 7, b, ok
  EXPECT_EQ(Analyze("1 7 b ok", TermRules::kNumbers, stop), (Terms{"1", "7", "b"}));
  EXPECT_EQ(Analyze("1 7 b ok", TermRules::kFirst, stop), Terms{});
}

TEST(AnalyzerRules, LetterDigitRunsGiveTheirParts) {
  EXPECT_EQ(Analyze("cvpr2022", TermRules::kNumbers, {}), (Terms{"cvpr", "2022"}));
  EXPECT_EQ(Analyze("CVPR2022", TermRules::kNumbers, {}), (Terms{"cvpr", "2022"}));
  EXPECT_EQ(Analyze("h5n1", TermRules::kNumbers, {}), (Terms{"h", "5", "n", "1"}));
  EXPECT_EQ(Analyze("cvpr2022", TermRules::kFirst, {}), (Terms{"cvpr2022"}));
  EXPECT_EQ(Analyze("2022", TermRules::kNumbers, {}), (Terms{"2022"}));
}

TEST(AnalyzerRules, ATextOfStopWordsAloneHasNoTermsEvenWithBigrams) {
  const std::string stop = "\xe7\x9a\x84";  // 的
  for (TermRules rules : {TermRules::kFirst, TermRules::kNumbers}) {
    EXPECT_EQ(Analyze(stop + stop + stop, rules, {stop}, 0.5f), Terms{});
    EXPECT_FALSE(Analyze(stop + stop + "x", rules, {stop}, 0.5f).empty());
  }
}

// One buffer serves text after text: a long text's bigram views must not outlive its storage,
// and a short text after it gets exactly its own terms.
TEST(AnalyzerRules, OneBufferGivesEachTextItsOwnTerms) {
  const Analyzer analyzer(Segmenter(), nullptr, {},
                          AnalyzerSettings(CutMode::kDefault, true, 0.5f, TermRules::kNumbers));
  std::string long_text;
  for (int i = 0; i < 20000; ++i) long_text += "中文检索系统abc";
  lumo::index::AnalyzedText buffer;
  for (const std::string& text : {long_text, std::string("检索系统"), std::string("ok"), long_text}) {
    analyzer.Analyze(text, buffer);
    EXPECT_EQ(Terms(buffer.terms.begin(), buffer.terms.end()), analyzer.Analyze(text)) << text.size();
  }
  const Terms terms = analyzer.Analyze("检索系统");
  EXPECT_EQ(std::count_if(terms.begin(), terms.end(), lumo::index::IsBigramTerm), 3);
}

// A long text is segmented a piece at a time, the pieces ending at separators; the words must be
// exactly those of segmenting the whole text at once, separator-free stretches longer than a
// piece included.
TEST(AnalyzerRules, ALongTextGivesTheWordsOfTheWholeText) {
  const std::vector<std::string> alphabet{"中", "国", "人", "民", "的", "中国", "ab", "7"};
  const std::vector<std::string> separators{" ", "\n", "\t", "，", "。"};
  std::mt19937 rng(7);
  std::string text;
  while (text.size() < 400000) {
    const bool unbroken = text.size() > 100000 && text.size() < 250000;
    text += (!unbroken && rng() % 8 == 0) ? separators[rng() % separators.size()] : alphabet[rng() % alphabet.size()];
  }
  const auto& segmenter = lumo::fuzz::SmallTokenizer();
  for (CutMode mode : {CutMode::kDefault, CutMode::kSearch}) {
    const Analyzer analyzer(Segmenter(), nullptr, {}, AnalyzerSettings(mode, true, 0.0f, TermRules::kFirst));
    std::vector<std::string> whole;
    if (mode == CutMode::kSearch) {
      segmenter.CutForSearch(text, whole, true);
    } else {
      segmenter.Cut(text, whole, true);
    }
    Terms expected;
    for (const std::string& word : whole) {
      if (std::find(separators.begin(), separators.end(), word) == separators.end()) expected.push_back(word);
    }
    EXPECT_EQ(analyzer.Analyze(text), expected);
  }
}

TEST(AnalyzerRules, ACancelStopsTheAnalysis) {
  const Analyzer analyzer(Segmenter(), nullptr, {},
                          AnalyzerSettings(CutMode::kDefault, true, 0.5f, TermRules::kNumbers));
  std::string long_text;
  for (int i = 0; i < 20000; ++i) long_text += "中国人。";
  std::atomic<bool> cancel{true};
  lumo::index::AnalyzedText buffer;
  for (const std::string& text : {long_text, std::string("中国")}) {
    EXPECT_THROW(analyzer.Analyze(text, buffer, &cancel), lumo::index::Interrupted);
  }
  cancel = false;
  analyzer.Analyze(long_text, buffer, &cancel);
  EXPECT_EQ(Terms(buffer.terms.begin(), buffer.terms.end()), analyzer.Analyze(long_text));
}

TEST(AnalyzerRules, RefusesWhatItCannotHonour) {
  EXPECT_THROW(lumo::index::TermRulesFromNumber(0), lumo::index::InvalidArgument);
  EXPECT_THROW(lumo::index::TermRulesFromNumber(3), lumo::index::InvalidArgument);
  EXPECT_EQ(lumo::index::TermRulesFromNumber(2), TermRules::kNumbers);
  for (float weight : {-1.0f, 2e6f, std::nanf("")}) {
    EXPECT_THROW(Analyze("x", TermRules::kNumbers, {}, weight), lumo::index::InvalidArgument);
  }
  EXPECT_THROW(Analyzer(nullptr, nullptr, {}, AnalyzerSettings(CutMode::kDefault, true, 0.0f, TermRules::kNumbers)),
               lumo::index::InvalidArgument);
}

}  // namespace
