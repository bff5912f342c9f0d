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

// Splits captured standard error into records "LEVEL message", checking the layout of each line
// (time stamp, label, ":" line, level, message, line feed) on the way.
inline std::vector<std::string> ParseRecords(const std::string& captured, const std::string& label,
                                             std::vector<int>* lines = nullptr) {
  static const std::regex kRecord(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d ([^ :]+):(\d+) (DEBUG|INFO|WARN|ERROR|FATAL) (.*)$)");
  std::vector<std::string> records;
  std::size_t start = 0;
  while (start < captured.size()) {
    const std::size_t end = captured.find('\n', start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "record without a line feed: " << captured.substr(start);
      break;
    }
    const std::string line = captured.substr(start, end - start);
    std::smatch m;
    if (!std::regex_match(line, m, kRecord)) {
      ADD_FAILURE() << "not a record: [" << line << "]";
    } else {
      EXPECT_EQ(m[1], label);
      records.push_back(m[3].str() + " " + m[4].str());
      if (lines) lines->push_back(std::stoi(m[2]));
    }
    start = end + 1;
  }
  return records;
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
