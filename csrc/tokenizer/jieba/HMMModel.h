#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "tokenizer/jieba/EmissionTable.h"
#include "tokenizer/jieba/Unicode.h"
#include "tokenizer/limonp/InputFile.h"
#include "tokenizer/limonp/Logger.h"
#include "tokenizer/limonp/StringUtil.h"

namespace lumo::typing::text::jieba {

// Log-probability of anything the model does not know; shared with the segmenters.
const double MIN_LOG_PROB = -3.14e+100;

using EmitProbMap = std::unordered_map<Rune, double>;

// The hidden Markov model of the HMM segmenter: states B, E, M, S (begin, end, middle of a word,
// single-rune word). Loaded whole by the constructor, read-only after; the numbers are kept
// exactly as the file gives them.
struct HMMModel {
  enum { B = 0, E = 1, M = 2, S = 3, STATUS_SUM = 4 };

  explicit HMMModel(const std::string& model_path)
      : startLogProb{}, transLogProb{}, emitProbByState{&emitProbB, &emitProbE, &emitProbM, &emitProbS} {
    LoadModel(model_path);
  }

  // The map's pointers refer to this object's own members.
  HMMModel(const HMMModel&) = delete;
  HMMModel& operator=(const HMMModel&) = delete;

  void LoadModel(const std::string& file_path) {
    std::ifstream ifile;
    limonp::OpenForReading(ifile, file_path);
    LUMO_CHECK(ifile.is_open(), kLogLabel) << "open " << limonp::ShownPath(file_path) << " failed";
    source_ = limonp::ShownPath(file_path);
    line_number_ = 0;
    std::string line;
    std::vector<std::string> tmp;

    LUMO_CHECK(GetLine(ifile, line), kLogLabel);
    limonp::Split(line, tmp, " ");
    LUMO_CHECK(tmp.size() == STATUS_SUM, kLogLabel);
    for (std::size_t j = 0; j < tmp.size(); ++j) {
      startLogProb[j] = ParseRowNumber(tmp[j]);
    }

    for (std::size_t i = 0; i < STATUS_SUM; ++i) {
      LUMO_CHECK(GetLine(ifile, line), kLogLabel);
      limonp::Split(line, tmp, " ");
      LUMO_CHECK(tmp.size() == STATUS_SUM, kLogLabel);
      for (std::size_t j = 0; j < tmp.size(); ++j) {
        transLogProb[i][j] = ParseRowNumber(tmp[j]);
      }
    }

    // One statement per state so that each failure names its own map.
    LUMO_CHECK(GetLine(ifile, line), kLogLabel);
    LUMO_CHECK(LoadEmitProb(line, emitProbB), kLogLabel);
    LUMO_CHECK(GetLine(ifile, line), kLogLabel);
    LUMO_CHECK(LoadEmitProb(line, emitProbE), kLogLabel);
    LUMO_CHECK(GetLine(ifile, line), kLogLabel);
    LUMO_CHECK(LoadEmitProb(line, emitProbM), kLogLabel);
    LUMO_CHECK(GetLine(ifile, line), kLogLabel);
    LUMO_CHECK(LoadEmitProb(line, emitProbS), kLogLabel);
    emissions_.Build(emitProbByState, MIN_LOG_PROB);
  }

  // EmitLogProb of every state for `rune` at once, indexed by state.
  const std::array<double, STATUS_SUM>& EmitLogProbs(Rune rune) const { return emissions_.Find(rune); }

  double EmitLogProb(std::size_t state, Rune rune) const {
    if (state >= STATUS_SUM) {
      return MIN_LOG_PROB;
    }
    const EmitProbMap& emits = *emitProbByState[state];
    const auto it = emits.find(rune);
    return it == emits.end() ? MIN_LOG_PROB : it->second;
  }

  // The next significant line, trimmed of ASCII white space; blank lines and lines starting
  // with "#" are skipped. False at the end of the file.
  bool GetLine(std::ifstream& ifile, std::string& line) {
    while (std::getline(ifile, line)) {
      ++line_number_;
      Trim(line);
      if (line.empty() || line[0] == '#') {
        continue;
      }
      return true;
    }
    return false;
  }

  // Parses "rune:number,rune:number,..." into `mp`; false on an empty line or a bad item.
  bool LoadEmitProb(const std::string& line, EmitProbMap& mp) {
    if (line.empty()) {
      return false;
    }
    std::vector<std::string> tmp;
    std::vector<std::string> tmp2;
    RuneArray unicode;
    limonp::Split(line, tmp, ",");
    for (const std::string& item : tmp) {
      limonp::Split(item, tmp2, ":");
      if (tmp2.size() != 2) {
        LUMO_LOG(ERROR, kLogLabel) << "emitProb illegal.";
        return false;
      }
      if (!DecodeRunesInString(tmp2[0], unicode) || unicode.size() != 1) {
        LUMO_LOG(ERROR, kLogLabel) << "TransCode failed.";
        return false;
      }
      double value = 0.0;
      if (!IsLogProb(tmp2[1], value)) {
        LUMO_LOG(ERROR, kLogLabel) << "emitProb illegal: " << tmp2[1] << " is not a finite number, in " << source_
                                   << ":" << line_number_;
        return false;
      }
      mp[unicode[0]] = value;
    }
    return true;
  }

  double startLogProb[STATUS_SUM];
  double transLogProb[STATUS_SUM][STATUS_SUM];
  EmitProbMap emitProbB;
  EmitProbMap emitProbE;
  EmitProbMap emitProbM;
  EmitProbMap emitProbS;
  // The emission maps in state order, so that a state index selects its map without a branch.
  std::array<const EmitProbMap*, STATUS_SUM> emitProbByState;

 private:
  static constexpr const char* kLogLabel = "csrc/tokenizer/jieba/HMMModel";

  EmissionTable<STATUS_SUM> emissions_;

  static bool IsAsciiSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

  static void Trim(std::string& s) {
    std::size_t end = s.size();
    while (end > 0 && IsAsciiSpace(s[end - 1])) {
      --end;
    }
    std::size_t begin = 0;
    while (begin < end && IsAsciiSpace(s[begin])) {
      ++begin;
    }
    s = s.substr(begin, end - begin);
  }

  // A probability that is not a finite number would spread through every Viterbi sum (a NaN
  // compares false, so whole runs end up as one word), so the number must be all of the field
  // and finite.
  static bool IsLogProb(const std::string& text, double& value) {
    return limonp::ParseWholeDouble(text, value) && std::isfinite(value);
  }

  // A field of a start or transition line; anything else fails a fatal check naming the line.
  double ParseRowNumber(const std::string& text) const {
    double value = 0.0;
    LUMO_CHECK(IsLogProb(text, value), kLogLabel)
        << "not a finite number: " << text << ", in " << source_ << ":" << line_number_;
    return value;
  }

  // Where the model is read from, for the records: the path and the line last read.
  std::string source_;
  std::size_t line_number_ = 0;
};

}  // namespace lumo::typing::text::jieba
