// Robustness over the public JSON parsing test collection: every document parses without a
// crash or a hang (sanitizer builds also check memory use), and every valid document parses
// without a diagnostic except where this parser's own rules say otherwise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "capture_stderr.h"
#include "json/JSON.h"

namespace fs = std::filesystem;
using lumo::typing::text::json::JSON;

namespace {

// The collection sits in shared/ beside the repository (CI keeps a copy there). A developer
// whose checkout lives elsewhere can point LUMOTEXT_JSONTESTSUITE at the directory.
fs::path SuiteDirectory() {
  if (const char* overridden = std::getenv("LUMOTEXT_JSONTESTSUITE")) return fs::path(overridden);
  const fs::path repository = fs::path(__FILE__).parent_path().parent_path().parent_path();
  return repository / ".." / "shared" / "testdata" / "jsontestsuite";
}

std::vector<fs::path> Documents() {
  std::vector<fs::path> files;
  const fs::path dir = SuiteDirectory() / "test_parsing";
  std::error_code error;
  if (!fs::is_directory(dir, error)) return files;
  for (const auto& entry : fs::directory_iterator(dir))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Valid documents that this parser reports on, each for a rule of its own.
const std::map<std::string, std::string>& ExpectedDiagnostics() {
  static const std::map<std::string, std::string> exceptions = {
      // A number must be followed by whitespace, a comma or a closing bracket; a document
      // that is a bare number ending the text is therefore rejected.
      {"y_structure_lonely_int.json", "a bare number ends the text"},
      {"y_structure_lonely_negative_real.json", "a bare number ends the text"},
  };
  return exceptions;
}

enum class Outcome { Clean, Diagnostic, ConversionError };

Outcome Parse(const std::string& text, std::string& detail) {
  CaptureStderr captured;
  try {
    const JSON value = JSON::Load(text);
    // Writing the result back exercises the writer on every shape the parser produced.
    (void)value.dump(1, "  ");
  } catch (const std::invalid_argument& e) {
    detail = e.what();
    return Outcome::ConversionError;
  } catch (const std::out_of_range& e) {
    detail = e.what();
    return Outcome::ConversionError;
  }
  detail = captured.text();
  return detail.empty() ? Outcome::Clean : Outcome::Diagnostic;
}

TEST(JsonTestSuite, EveryDocumentParsesSafely) {
  const std::vector<fs::path> files = Documents();
  if (files.empty())
    GTEST_SKIP() << "JSON test collection not found at " << SuiteDirectory()
                 << " (expected ../shared/testdata/jsontestsuite beside the repository)";
  EXPECT_GE(files.size(), 300u);
  std::size_t valid = 0;
  for (const fs::path& file : files) {
    const std::string name = file.filename().string();
    std::string detail;
    const Outcome outcome = Parse(ReadAll(file), detail);
    if (name.rfind("y_", 0) != 0) continue;  // invalid or implementation-defined: only safety
    ++valid;
    const bool excepted = ExpectedDiagnostics().count(name) != 0;
    if (excepted)
      EXPECT_EQ(outcome, Outcome::Diagnostic) << name << " was expected to report: "
                                              << ExpectedDiagnostics().at(name);
    else
      EXPECT_EQ(outcome, Outcome::Clean) << name << ": " << detail;
  }
  EXPECT_EQ(valid, 95u);
}

TEST(JsonTestSuite, ExceptionsNameRealFiles) {
  const fs::path dir = SuiteDirectory() / "test_parsing";
  std::error_code error;
  if (!fs::is_directory(dir, error)) GTEST_SKIP() << "JSON test collection not found at " << dir;
  for (const auto& [name, reason] : ExpectedDiagnostics()) EXPECT_TRUE(fs::exists(dir / name)) << name;
}

}  // namespace
