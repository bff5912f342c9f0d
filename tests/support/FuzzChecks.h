#pragma once

// The properties the fuzz targets check, one function per target. The libFuzzer entry points in
// this directory call them on every generated input, and the C++ unit tests replay every kept
// input (seeds and former crash inputs in fuzz/corpus/<target>/) through the same functions, so
// a fault found once stays covered by `make test`.
//
// A violated property throws CheckFailure; under libFuzzer the uncaught exception aborts and
// the input is saved as a crash.

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "bm25/BM25.h"
#include "bm25/ModelText.h"
#include "json/JSON.h"
#include "json/JSONInternal.h"
#include "tokenizer/jieba/DictTrie.h"
#include "tokenizer/jieba/Jieba.h"
#include "tokenizer/jieba/HMMModel.h"
#include "tokenizer/jieba/KeywordExtractor.h"
#include "tokenizer/jieba/Unicode.h"
#include "tokenizer/limonp/Logger.h"

namespace lumo::fuzz {

using typing::text::BM25;
namespace json = typing::text::json;
namespace jieba = typing::text::jieba;
namespace limonp = typing::text::limonp;

class CheckFailure : public std::logic_error {
 public:
  explicit CheckFailure(const std::string& what) : std::logic_error(what) {}
};

inline void Require(bool condition, const std::string& what) {
  if (!condition) throw CheckFailure(what);
}

// A scratch directory for the data files the loaders read, one per process, removed at exit.
class Scratch {
 public:
  static Scratch& Get() {
    static Scratch scratch;
    return scratch;
  }

  std::string Write(const std::string& name, const std::string& content) const {
    const std::string path = (dir_ / name).string();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    Require(static_cast<bool>(out), "cannot write the scratch file " + path);
    return path;
  }

  std::string Read(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  Scratch() {
    // Memory-backed where there is one: the loader target writes a file for every input.
    std::error_code error;
    const std::filesystem::path base =
        std::filesystem::is_directory("/dev/shm", error) ? "/dev/shm" : std::filesystem::temp_directory_path();
    std::string pattern = (base / "lumotext-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a scratch directory");
    dir_ = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::filesystem::path dir_;
};

// --- JSON parser ------------------------------------------------------------------------------
//
// Any bytes parse without a crash (only a numeric conversion may throw, and only
// invalid_argument or out_of_range). Whatever value comes out, writing it, parsing the text and
// writing again gives the same text: the writer only produces text that the parser reads back
// as the same value.
//
// Parsing only the shape of a value (what the model reader does with members it ignores) ends at
// the same place, gives the same kind and fails with the same exception as building it all.
struct ParseOutcome {
  int error = 0;  // 1: invalid_argument, 2: out_of_range
  json::JSON::Kind kind = json::JSON::Kind::Null;
  std::size_t end = 0;
  bool operator==(const ParseOutcome& o) const {
    return error == o.error && (error != 0 || (kind == o.kind && end == o.end));
  }
};

inline ParseOutcome ParseWith(const std::string& text, json::internal::Build build) {
  ParseOutcome outcome;
  try {
    outcome.kind = json::internal::parse_next(text, outcome.end, 0, build).GetKind();
  } catch (const std::invalid_argument&) {
    outcome.error = 1;
  } catch (const std::out_of_range&) {
    outcome.error = 2;
  }
  return outcome;
}

inline void CheckJsonRoundTrip(const std::string& text) {
  Require(ParseWith(text, json::internal::Build::Everything) == ParseWith(text, json::internal::Build::Shape),
          "the shape of a value parses differently from the value");
  json::JSON first;
  try {
    first = json::JSON::Load(text);
  } catch (const std::invalid_argument&) {
    return;
  } catch (const std::out_of_range&) {
    return;
  }
  const std::string once = first.dump(1, "  ");
  json::JSON second;
  // A number that ends the text is incomplete by design (the parser needs the character after
  // it), so the written text of a lone number is read back with a line feed after it.
  try {
    second = json::JSON::Load(once + "\n");
  } catch (const std::exception& e) {
    throw CheckFailure(std::string("written text does not parse: ") + e.what() + "\n" + once);
  }
  const std::string twice = second.dump(1, "  ");
  Require(once == twice, "write-parse-write differs:\n" + once + "\n---\n" + twice);
}

// --- Model loader ---------------------------------------------------------------------------
//
// Arbitrary text into BM25::load either loads or throws one of the documented errors, and a
// failed load leaves the model exactly as it was. A model that loaded holds no statistic that
// training could not give (no negative count, a document count below 2^63 - 1, the total length
// the count and average stand for), and writes a file whose text loads into a fresh model that
// writes the same text again.

struct ModelState {
  double b, k1, average;
  std::int64_t doc_count, length_total;
  std::vector<std::pair<std::string, std::int64_t>> counts;

  static ModelState Of(const BM25& model) {
    ModelState s{model.b(), model.k1(), model.doc_length_average(), model.doc_count(), model.doc_length_total(), {}};
    for (const auto& entry : model.doc_token_frequency()) s.counts.emplace_back(entry.first, entry.second);
    std::sort(s.counts.begin(), s.counts.end());
    return s;
  }
  bool operator==(const ModelState& o) const {
    // Bit-for-bit: a failed load must not even touch a NaN or the sign of a zero.
    auto same = [](double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; };
    return same(b, o.b) && same(k1, o.k1) && same(average, o.average) && doc_count == o.doc_count &&
           length_total == o.length_total && counts == o.counts;
  }
};

inline bool IsDocumentedLoadError(const std::runtime_error& e) {
  static const std::set<std::string> kMessages = {"json data should not be empty",
                                                  "load doc_token_frequency failed",
                                                  "load doc_count failed",
                                                  "load doc_length_average failed",
                                                  "load b failed",
                                                  "load k1 failed"};
  return kMessages.count(e.what()) > 0;
}

inline std::string DumpText(const BM25& model) {
  std::ostringstream out;
  model.dump(out);
  return out.str();
}

inline void CheckModelLoad(const std::string& text) {
  BM25 model(0.5, 1.5);
  model.train(std::vector<std::string>{"a", "b", "a", "tab\tkey", "quote\"key"});
  model.train(std::vector<long long>{7, 42, -3});
  const ModelState before = ModelState::Of(model);
  try {
    model.load(text);
  } catch (const std::runtime_error& e) {
    Require(IsDocumentedLoadError(e), std::string("undocumented load error: ") + e.what());
    Require(ModelState::Of(model) == before, std::string("a failed load changed the model: ") + e.what());
    return;
  } catch (const std::invalid_argument&) {
    Require(ModelState::Of(model) == before, "a failed load (invalid number) changed the model");
    return;
  } catch (const std::out_of_range&) {
    Require(ModelState::Of(model) == before, "a failed load (number out of range) changed the model");
    return;
  }
  Require(model.doc_count() >= 0 && model.doc_count() <= typing::text::kMaxDocCount, "a document count out of range");
  std::int64_t total = -1;
  Require(typing::text::DocLengthTotal(model.doc_count(), model.doc_length_average(), total) &&
              total == model.doc_length_total(),
          "the total length is not the count times the average");
  for (const auto& entry : model.doc_token_frequency()) Require(entry.second >= 0, "a negative count loaded");
  const std::string once = DumpText(model);
  BM25 fresh(0.0, 0.0);
  fresh.load(once);
  Require(DumpText(fresh) == once, "dump-load-dump differs:\n" + once + "\n---\n" + DumpText(fresh));
}

// --- Data-file loaders ------------------------------------------------------------------------
//
// Arbitrary content as any of the five data files either loads or stops construction with a
// fatal check (FatalError, whose text is a FATAL record "exp: [...] false. ..."); no other
// exception and no crash. A dictionary that loads answers look-ups of its own words.

inline constexpr const char* kFuzzMainDict =
    "\xe4\xb8\xad 20 n\n"                         // zhong
    "\xe4\xb8\xad\xe5\x9b\xbd 10 ns\n"            // zhongguo
    "\xe5\x9b\xbd 8 n\n"                          // guo
    "\xe4\xba\xba 12 n\n"                         // ren
    "\xe4\xb8\xad\xe5\x9b\xbd\xe4\xba\xba 5 n\n"  // zhongguoren
    "ab 3 eng\n";
inline constexpr const char* kFuzzHmm =
    "# B E M S\n"
    "-0.26 -3.14e+100 -3.14e+100 -1.46\n"
    "-3.14e+100 -0.51 -0.91 -3.14e+100\n"
    "-0.59 -3.14e+100 -3.14e+100 -0.81\n"
    "-3.14e+100 -0.33 -1.26 -3.14e+100\n"
    "-0.72 -3.14e+100 -3.14e+100 -0.67\n"
    "\xe4\xb8\xad:-4.1,\xe5\x9b\xbd:-5.2,\xe4\xba\xba:-6.0\n"
    "\xe4\xb8\xad:-6.1,\xe5\x9b\xbd:-4.2,\xe4\xba\xba:-5.0\n"
    "\xe4\xb8\xad:-7.1,\xe5\x9b\xbd:-7.2,\xe4\xba\xba:-7.0\n"
    "\xe4\xb8\xad:-5.1,\xe5\x9b\xbd:-5.5,\xe4\xba\xba:-4.0\n";
inline constexpr const char* kFuzzIdf = "\xe4\xb8\xad\xe5\x9b\xbd 3.5\n\xe4\xba\xba 2.0\n";
inline constexpr const char* kFuzzStopWords = "\xe7\x9a\x84\n,\n";

enum class DataFile : std::uint8_t { MainDict, UserDict, HmmModel, Idf, StopWords, kCount };

inline bool IsFatalCheck(const limonp::FatalError& e) {
  return std::string(e.what()).find(" FATAL exp: [") != std::string::npos;
}

// Every entry that reached the trie is found again under its own word.
inline void CheckDictAnswers(const jieba::DictTrie& dict) {
  for (const jieba::DictUnit& unit : dict.GetDictUnits()) {
    if (unit.word.empty()) continue;
    const jieba::DictUnit* found = dict.Find(unit.word.begin(), unit.word.end());
    Require(found != nullptr, "a loaded word is not in the trie");
    Require(
        found->word.size() == unit.word.size() && std::equal(found->word.begin(), found->word.end(), unit.word.begin()),
        "the trie answers a word with another word's entry");
  }
}

// A dictionary that loaded holds numbers only: no weight or statistic is NaN or +inf (a
// frequency of 0 in the main dictionary is allowed and weighs -inf).
inline void CheckDictNumbers(const jieba::DictTrie& dict) {
  for (const jieba::DictUnit& unit : dict.GetDictUnits()) {
    Require(!std::isnan(unit.weight) && unit.weight != INFINITY, "a loaded word has a weight that is not a number");
  }
  for (const double statistic : {dict.GetMinWeight(), dict.GetMedianWeight(), dict.GetMaxWeight(),
                                 dict.GetUserWordWeight(), dict.GetTotalFreq()}) {
    Require(!std::isnan(statistic), "a dictionary statistic is not a number");
  }
}

// A model that loaded holds finite numbers only: a NaN or an infinity would decide every
// Viterbi comparison it takes part in.
inline void CheckHmmNumbers(const jieba::HMMModel& model) {
  for (std::size_t from = 0; from < jieba::HMMModel::STATUS_SUM; ++from) {
    Require(std::isfinite(model.startLogProb[from]), "a loaded start probability is not finite");
    for (std::size_t to = 0; to < jieba::HMMModel::STATUS_SUM; ++to) {
      Require(std::isfinite(model.transLogProb[from][to]), "a loaded transition probability is not finite");
    }
    for (const auto& entry : *model.emitProbByState[from]) {
      Require(std::isfinite(entry.second), "a loaded emission probability is not finite");
    }
  }
}

// `which` chooses the file that gets `content`; the other four are small valid files.
inline void CheckLoader(DataFile which, const std::string& content) {
  Scratch& scratch = Scratch::Get();
  const std::string fuzzed = scratch.Write("fuzzed.txt", content);
  static const std::string main_dict = scratch.Write("main.dict", kFuzzMainDict);
  static const std::string hmm = scratch.Write("model.hmm", kFuzzHmm);
  static const std::string idf = scratch.Write("words.idf", kFuzzIdf);
  static const std::string stop = scratch.Write("stop.txt", kFuzzStopWords);
  try {
    switch (which) {
      case DataFile::MainDict: {
        jieba::DictTrie dict(fuzzed, "", jieba::DictTrie::UserWordWeightMedian);
        CheckDictAnswers(dict);
        CheckDictNumbers(dict);
        break;
      }
      case DataFile::UserDict: {
        jieba::DictTrie dict(main_dict, fuzzed, jieba::DictTrie::UserWordWeightMedian);
        CheckDictAnswers(dict);
        CheckDictNumbers(dict);
        break;
      }
      case DataFile::HmmModel: {
        jieba::HMMModel model(fuzzed);
        CheckHmmNumbers(model);
        // Every state answers for any rune, known or not.
        for (std::size_t state = 0; state < jieba::HMMModel::STATUS_SUM; ++state) model.EmitLogProb(state, 0x4E2D);
        break;
      }
      case DataFile::Idf:
      case DataFile::StopWords: {
        jieba::DictTrie dict(main_dict, "", jieba::DictTrie::UserWordWeightMedian);
        jieba::HMMModel model(hmm);
        const bool idf_fuzzed = which == DataFile::Idf;
        jieba::KeywordExtractor extractor(&dict, &model, idf_fuzzed ? fuzzed : idf, idf_fuzzed ? stop : fuzzed);
        // Finite values may still add up beyond a double (1e308 twice), so only NaN is excluded.
        Require(!std::isnan(extractor.GetIdfAverage()), "the average idf is not a number");
        for (const auto& entry : extractor.GetIdfMap()) {
          Require(std::isfinite(entry.second), "a loaded idf is not finite");
        }
        break;
      }
      default:
        break;
    }
  } catch (const limonp::FatalError& e) {
    Require(IsFatalCheck(e), std::string("a fatal record that is not a check: ") + e.what());
  }
}

// The first byte of a fuzz input picks the file, the rest is its content.
inline void CheckLoaderInput(const std::string& input) {
  if (input.empty()) return;
  const auto which =
      static_cast<DataFile>(static_cast<unsigned char>(input[0]) % static_cast<unsigned>(DataFile::kCount));
  CheckLoader(which, input.substr(1));
}

// --- Rune decoder and segmentation ------------------------------------------------------------
//
// Any bytes decode or are refused as a whole; decoded records tile the input (their byte ranges
// follow one another and cover every byte), and the candidate words at every position come from
// the dictionary and end inside the text.
inline void CheckDecodeAndLookup(const std::string& text) {
  jieba::RuneStrArray runes;
  const bool decoded = jieba::DecodeRunesInString(text, runes);
  if (!decoded) {
    Require(runes.empty(), "a refused text left rune records behind");
    return;
  }
  std::uint64_t next = 0;
  for (std::size_t i = 0; i < runes.size(); ++i) {
    const jieba::RuneStr& r = runes[i];
    Require(
        r.byte_offset == next && r.byte_length >= 1 && r.byte_length <= 4 && r.rune_offset == i && r.rune_length == 1,
        "rune records do not tile the text");
    next += r.byte_length;
  }
  Require(next == text.size(), "rune records do not cover the text");

  static const jieba::DictTrie dict(Scratch::Get().Write("lookup.dict", kFuzzMainDict), "",
                                    jieba::DictTrie::UserWordWeightMedian);
  std::vector<jieba::Dag> dags;
  dict.Find(runes.begin(), runes.end(), dags, 512);
  Require(dags.size() == runes.size(), "one candidate record per rune");
  for (std::size_t i = 0; i < dags.size(); ++i) {
    Require(!dags[i].candidates.empty() && dags[i].candidates[0].first == i, "no one-rune candidate");
    for (const auto& [end, unit] : dags[i].candidates) {
      Require(end >= i && end < runes.size(), "a candidate ends outside the text");
      if (end > i) Require(unit != nullptr && unit->word.size() == end - i + 1, "a candidate is no word");
    }
  }
}

// Any bytes into Cut and CutForSearch of a tokenizer on a small dictionary never crash; when the
// bytes decode, the Cut words concatenate back to the input, and every search-mode word is a
// piece of the input.
inline const jieba::Jieba& SmallTokenizer() {
  Scratch& scratch = Scratch::Get();
  static const jieba::Jieba tokenizer(scratch.Write("tok.dict", kFuzzMainDict), scratch.Write("tok.hmm", kFuzzHmm),
                                      scratch.Write("tok.user", "\xe4\xba\xba\xe6\xb0\x91 nr\n"),
                                      scratch.Write("tok.idf", kFuzzIdf), scratch.Write("tok.stop", kFuzzStopWords));
  return tokenizer;
}

inline void CheckSegmentation(const std::string& text) {
  CheckDecodeAndLookup(text);
  const jieba::Jieba& tokenizer = SmallTokenizer();
  std::vector<std::string> words{"left over"};
  tokenizer.Cut(text, words, true);
  std::vector<std::string> search{"left over"};
  tokenizer.CutForSearch(text, search, true);
  jieba::RuneStrArray runes;
  if (!jieba::DecodeRunesInString(text, runes)) {
    Require(words.empty() && search.empty(), "a text that does not decode gave words");
    return;
  }
  std::string joined;
  for (const std::string& w : words) {
    Require(!w.empty(), "an empty word");
    joined += w;
  }
  Require(joined == text, "the words of Cut do not concatenate back to the text");
  for (const std::string& w : search)
    Require(!w.empty() && text.find(w) != std::string::npos, "a search word not in the text");
  Require(search.size() >= words.size(), "search mode lost words");
  std::vector<std::string> without_hmm;
  tokenizer.Cut(text, without_hmm, false);
  joined.clear();
  for (const std::string& w : without_hmm) joined += w;
  Require(joined == text, "the words of Cut without the HMM do not concatenate back to the text");
}

}  // namespace lumo::fuzz
