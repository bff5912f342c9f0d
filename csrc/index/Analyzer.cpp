#include "index/Analyzer.h"

#include <string>
#include <utility>
#include <vector>

#include "index/Errors.h"
#include "index/Utf8.h"

namespace lumo::index {

namespace {

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAsciiLetter(char c) { return c >= 'a' && c <= 'z'; }  // folded text has no upper case

// Terms that a stop list must not remove under the newer rules: numbers, which carry meaning
// in any query ("3号线", "GPT-4"), and single letters, which name things ("A股", "X光").
bool IsNeverStopWord(std::string_view word) {
  if (word.size() == 1 && IsAsciiLetter(word[0])) return true;
  if (word.empty()) return false;
  for (char c : word) {
    if (!IsAsciiDigit(c)) return false;
  }
  return true;
}

// Letters and digits both, and nothing else: a model, version or product name ("cvpr2022").
bool IsLetterDigitRun(std::string_view word) {
  bool letter = false, digit = false;
  for (char c : word) {
    if (IsAsciiLetter(c)) {
      letter = true;
    } else if (IsAsciiDigit(c)) {
      digit = true;
    } else {
      return false;
    }
  }
  return letter && digit;
}

bool IsIdeograph(char32_t cp) {
  return (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xF900 && cp <= 0xFAFF) ||
         (cp >= 0x20000 && cp <= 0x3FFFF);
}

// Calls f(begin, end) for the bytes of each pair of adjacent ideographs in `text`, in order.
template <class F>
void ForEachBigram(std::string_view text, F&& f) {
  std::size_t i = 0, previous_start = 0;
  bool previous_ideograph = false;
  while (i < text.size()) {
    const std::size_t start = i;
    const bool ideograph = IsIdeograph(DecodeUtf8(text, i));
    if (ideograph && previous_ideograph) f(previous_start, i);
    previous_ideograph = ideograph;
    previous_start = start;
  }
}

// The number of bigram terms of `text`, and in `bytes` the bytes they take (mark included).
std::size_t CountBigrams(std::string_view text, std::size_t& bytes) {
  std::size_t count = 0;
  bytes = 0;
  ForEachBigram(text, [&](std::size_t begin, std::size_t end) {
    ++count;
    bytes += 1 + (end - begin);
  });
  return count;
}

// A long text is segmented in pieces of about this many bytes, so that a cancel is seen between
// them (the segmenter takes a few milliseconds for one).
constexpr std::size_t kSegmentPiece = std::size_t{1} << 16;

// The end of the piece that starts at `begin`: just after the first separator rune from
// begin + kSegmentPiece on, or the end of the text. The segmenter cuts the text between
// separators independently, so the pieces give exactly the words of the whole.
std::size_t PieceEnd(std::string_view text, std::size_t begin) {
  struct Separators {
    std::vector<std::string_view> runes;
    bool starts[256] = {};  // a byte that begins one of them
  };
  static const Separators separators = [] {
    Separators out;
    const std::string_view all(typing::text::jieba::SPECIAL_SEPARATORS);
    for (std::size_t i = 0; i < all.size();) {
      const std::size_t start = i;
      DecodeUtf8(all, i);
      out.runes.push_back(all.substr(start, i - start));
      out.starts[static_cast<unsigned char>(all[start])] = true;
    }
    return out;
  }();
  if (text.size() - begin <= kSegmentPiece) return text.size();
  for (std::size_t i = begin + kSegmentPiece; i < text.size(); ++i) {
    if (!separators.starts[static_cast<unsigned char>(text[i])]) continue;
    for (std::string_view rune : separators.runes) {
      if (text.compare(i, rune.size(), rune) == 0) return i + rune.size();
    }
  }
  return text.size();
}

std::size_t CountCharacters(std::string_view text) {
  std::size_t count = 0;
  for (unsigned char c : text) count += (c & 0xC0) != 0x80;
  return count;
}

}  // namespace

TermRules TermRulesFromNumber(int number) {
  switch (number) {
    case 1:
      return TermRules::kFirst;
    case 2:
      return TermRules::kNumbers;
    default:
      throw InvalidArgument("unknown analyzer term rules " + std::to_string(number) + " (this release knows 1 and 2)");
  }
}

Analyzer::Analyzer(std::shared_ptr<const typing::text::jieba::Jieba> segmenter, std::shared_ptr<const CharTable> t2s,
                   std::vector<std::string> stop_words, AnalyzerSettings settings)
    : segmenter_(std::move(segmenter)), t2s_(std::move(t2s)), settings_(settings) {
  if (!(settings_.bigram_weight >= 0.0f && settings_.bigram_weight <= 1e6f)) {
    throw InvalidArgument("the bigram weight must be a number from 0 to 1e6");
  }
  if (segmenter_ == nullptr) throw InvalidArgument("the analyzer needs a segmenter");
  // Stop words are matched after folding, as the terms are.
  stop_word_storage_.reserve(stop_words.size());
  for (const std::string& word : stop_words) {
    std::string folded;
    FoldText(word, t2s_.get(), folded);
    if (folded.empty()) continue;
    if (settings_.rules != TermRules::kFirst && IsNeverStopWord(folded)) continue;
    stop_word_storage_.push_back(std::move(folded));
  }
  stop_words_.insert(stop_word_storage_.begin(), stop_word_storage_.end());
}

void Analyzer::AppendWord(std::string_view word, AnalyzedText& out) const {
  if (settings_.rules == TermRules::kFirst || !IsLetterDigitRun(word)) {
    out.terms.push_back(word);
    return;
  }
  // The parts alone, not the whole run as well: "cvpr2022", "CVPR 2022", "gpt4" and "GPT-4"
  // then give the same terms (the segmenter keeps a letter-led run whole but splits "5g").
  std::size_t start = 0;
  for (std::size_t i = 1; i <= word.size(); ++i) {
    if (i == word.size() || IsAsciiDigit(word[i]) != IsAsciiDigit(word[start])) {
      out.terms.push_back(word.substr(start, i - start));
      start = i;
    }
  }
}

void Analyzer::SegmentWords(AnalyzedText& out, const std::atomic<bool>* cancel) const {
  const bool search = settings_.mode == CutMode::kSearch;
  std::vector<std::string_view>& words = out.words;
  const std::string_view text = out.folded;
  const std::size_t first_end = PieceEnd(text, 0);
  if (first_end == text.size()) {
    if (search) {
      segmenter_->CutForSearch(out.folded, words, settings_.hmm);
    } else {
      segmenter_->Cut(out.folded, words, settings_.hmm);
    }
    return;
  }
  words.clear();
  // At most one word per character in the default cut, as the segmenter itself reserves.
  words.reserve(CountCharacters(text));
  std::string piece;
  std::vector<typing::text::jieba::WordSpan> spans;
  std::size_t begin = 0, end = first_end;
  while (begin < text.size()) {
    CheckCancel(cancel);
    piece.assign(text.substr(begin, end - begin));
    if (search) {
      segmenter_->CutForSearch(piece, spans, settings_.hmm);
    } else {
      segmenter_->Cut(piece, spans, settings_.hmm);
    }
    for (const auto& span : spans) words.push_back(text.substr(begin + span.offset, span.length));
    begin = end;
    end = PieceEnd(text, begin);
  }
}

void Analyzer::Analyze(std::string_view text, AnalyzedText& out, const std::atomic<bool>* cancel) const {
  out.folded.clear();
  out.terms.clear();
  FoldText(text, t2s_.get(), out.folded);
  if (out.folded.empty()) return;
  SegmentWords(out, cancel);
  CheckCancel(cancel);
  std::vector<std::string_view>& words = out.words;
  // Sized once for the words and every bigram: a long text's views are its largest buffer,
  // and growing it by doubling would hold two copies at once.
  std::size_t bigram_bytes = 0;
  const std::size_t bigrams = settings_.bigram_weight > 0 ? CountBigrams(out.folded, bigram_bytes) : 0;
  out.terms.reserve(words.size() + bigrams);
  for (std::size_t i = 0; i < words.size(); ++i) {
    if ((i & 0xFFFF) == 0xFFFF) CheckCancel(cancel);
    const std::string_view word = words[i];
    if (!HasWordCharacter(word)) continue;
    if (!stop_words_.empty() && stop_words_.count(word) != 0) continue;
    AppendWord(word, out);
  }
  // The segmenter's words of a long text are not kept for the next one: they can be as large
  // as the terms themselves.
  if (words.capacity() > (std::size_t{1} << 16)) std::vector<std::string_view>().swap(words);
  // A text of stop words alone has nothing to find: its bigrams would match any text that
  // holds the same function words. (Bigrams of and across stop words are kept otherwise:
  // pasted fragments match through them.)
  if (out.terms.empty()) return;
  CheckCancel(cancel);
  if (bigrams > 0) AppendBigrams(bigram_bytes, out);
}

void Analyzer::AppendBigrams(std::size_t bytes, AnalyzedText& out) const {
  // Each bigram is stored as mark + two characters. The text is sized exactly first, so it
  // never moves and the views can be taken as it fills.
  out.bigram_text.clear();
  out.bigram_text.reserve(bytes);
  const char* const base = out.bigram_text.data();
  const std::string_view text = out.folded;
  ForEachBigram(text, [&](std::size_t begin, std::size_t end) {
    const std::size_t at = out.bigram_text.size();
    out.bigram_text.push_back(kBigramMark);
    out.bigram_text.append(text.substr(begin, end - begin));
    out.terms.emplace_back(base + at, out.bigram_text.size() - at);
  });
}

std::vector<std::string> Analyzer::Analyze(std::string_view text) const {
  AnalyzedText analyzed;
  Analyze(text, analyzed);
  return std::vector<std::string>(analyzed.terms.begin(), analyzed.terms.end());
}

}  // namespace lumo::index
