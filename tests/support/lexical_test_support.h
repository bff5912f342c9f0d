#pragma once

// Shared by the tests of the lexical resources: a scratch directory for the data files the tests
// write, and a runner that captures the log records a piece of code writes.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "tokenizer/limonp/Logger.h"

namespace lexical_test {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumotext-lex-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a scratch directory");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string Path(const std::string& name) const { return (path_ / name).string(); }
  std::string Write(const std::string& name, const std::string& content) const {
    std::ofstream(Path(name), std::ios::binary) << content;
    return Path(name);
  }

 private:
  std::filesystem::path path_;
};

struct Record {
  std::string stamp;
  std::string label;
  int line;
  std::string level;
  std::string message;
};

// True when `text` has the layout of a record's time stamp, "YYYY-MM-DD hh:mm:ss".
inline bool IsTimeStamp(const std::string& text) {
  static const std::string kLayout = "dddd-dd-dd dd:dd:dd";
  if (text.size() != kLayout.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
    if (kLayout[i] == 'd' ? !digit : text[i] != kLayout[i]) return false;
  }
  return true;
}

// Reads one record line "STAMP LABEL:LINE LEVEL MESSAGE"; false when the line has another layout.
inline bool ParseRecordLine(const std::string& line, Record* record) {
  static const std::vector<std::string> kLevels = {"DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
  constexpr std::size_t kStampSize = 19;
  if (line.size() < kStampSize + 1 || !IsTimeStamp(line.substr(0, kStampSize)) || line[kStampSize] != ' ') {
    return false;
  }
  const std::size_t label_start = kStampSize + 1;
  const std::size_t colon = line.find(':', label_start);
  if (colon == std::string::npos || colon == label_start || line.find(' ', label_start) < colon) {
    return false;
  }
  std::size_t digits_end = colon + 1;
  while (digits_end < line.size() && std::isdigit(static_cast<unsigned char>(line[digits_end])) != 0) ++digits_end;
  if (digits_end == colon + 1 || digits_end > colon + 9 || digits_end >= line.size() || line[digits_end] != ' ') {
    return false;
  }
  const std::size_t level_end = line.find(' ', digits_end + 1);
  if (level_end == std::string::npos) return false;
  const std::string level = line.substr(digits_end + 1, level_end - digits_end - 1);
  if (std::find(kLevels.begin(), kLevels.end(), level) == kLevels.end()) return false;
  *record = Record{line.substr(0, kStampSize), line.substr(label_start, colon - label_start),
                   std::stoi(line.substr(colon + 1, digits_end - colon - 1)), level, line.substr(level_end + 1)};
  return true;
}

// Splits captured standard error into records, checking the layout of each line (time stamp,
// label, ":" line, level, message, line feed) on the way.
inline std::vector<Record> ParseRecords(const std::string& captured) {
  std::vector<Record> records;
  std::size_t start = 0;
  while (start < captured.size()) {
    const std::size_t end = captured.find('\n', start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "record without a line feed: " << captured.substr(start);
      break;
    }
    const std::string line = captured.substr(start, end - start);
    Record record;
    if (ParseRecordLine(line, &record)) {
      records.push_back(record);
    } else {
      ADD_FAILURE() << "not a record: [" << line << "]";
    }
    start = end + 1;
  }
  return records;
}

// The records as "LEVEL message", all expected from the unit `label`; their line numbers go to
// `lines` when given.
inline std::vector<std::string> ParseRecords(const std::string& captured, const std::string& label,
                                             std::vector<int>* lines = nullptr) {
  std::vector<std::string> out;
  for (const Record& r : ParseRecords(captured)) {
    EXPECT_EQ(r.label, label);
    out.push_back(r.level + " " + r.message);
    if (lines) lines->push_back(r.line);
  }
  return out;
}

// Runs `f` with standard error captured and returns its records; a FATAL stop is caught and
// reported through `fatal`.
template <class F>
std::vector<std::string> Records(const std::string& label, F f, bool* fatal = nullptr) {
  testing::internal::CaptureStderr();
  bool stopped = false;
  try {
    f();
  } catch (const lumo::typing::text::limonp::FatalError&) {
    stopped = true;
  }
  if (fatal) *fatal = stopped;
  return ParseRecords(testing::internal::GetCapturedStderr(), label);
}

}  // namespace lexical_test
