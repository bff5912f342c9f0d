#pragma once

// Helpers shared by the tests of the lexical resources: a scratch directory for the data files
// the tests write, and a parser for the log records captured from standard error.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace lexical_test {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumotext-lex-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot create a scratch directory");
    }
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Writes `content` byte for byte and returns the file's path.
  std::string Write(const std::string& name, const std::string& content) const {
    const std::string file = Path(name);
    std::ofstream out(file, std::ios::binary);
    out << content;
    return file;
  }
  std::string Path(const std::string& name) const { return (path_ / name).string(); }

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

// Splits captured standard error into records; any text that is not a whole record line makes
// the test fail, so stray output or a missing line feed is caught too.
inline std::vector<Record> ParseRecords(const std::string& captured) {
  static const std::regex kRecord(
      R"(^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}) ([^ :]+):(\d+) (DEBUG|INFO|WARN|ERROR|FATAL) (.*)$)");
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

// The messages of the captured records, each prefixed by its level, for compact comparisons.
inline std::vector<std::string> Messages(const std::string& captured, const std::string& label) {
  std::vector<std::string> out;
  for (const Record& r : ParseRecords(captured)) {
    EXPECT_EQ(r.label, label);
    out.push_back(r.level + " " + r.message);
  }
  return out;
}

}  // namespace lexical_test
