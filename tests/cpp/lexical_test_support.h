#pragma once

// Shared by the tests of the lexical resources: a scratch directory for the data files the tests
// write, and a runner that captures the log records a piece of code writes.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
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

// Splits captured standard error into records, checking the layout of each line (time stamp,
// label, ":" line, level, message, line feed) on the way.
inline std::vector<Record> ParseRecords(const std::string& captured) {
  static const std::regex kRecord(
      R"(^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) ([^ :]+):(\d+) (DEBUG|INFO|WARN|ERROR|FATAL) (.*)$)");
  std::vector<Record> records;
  std::size_t start = 0;
  while (start < captured.size()) {
    const std::size_t end = captured.find('\n', start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "record without a line feed: " << captured.substr(start);
      break;
    }
    const std::string line = captured.substr(start, end - start);
    std::smatch m;
    if (std::regex_match(line, m, kRecord)) {
      records.push_back(Record{m[1], m[2], std::stoi(m[3]), m[4], m[5]});
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
