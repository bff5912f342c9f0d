// Robustness over the public JSON parsing test collection: every document, and every prefix of
// the small ones, parses without a crash or a hang (sanitizer builds also check memory use);
// every valid document parses without a diagnostic except where this parser's rules differ.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>

#include "capture_stderr.h"
#include "json/JSON.h"
#include "shared_data.h"

namespace fs = std::filesystem;
using lumo::typing::text::json::JSON;

namespace {

// The collection lives in the shared folder beside the repository or one of its parents (CI keeps
// a copy there); a checkout elsewhere can name it with LUMOTEXT_JSONTESTSUITE.
fs::path SuiteDirectory() {
  if (const char* overridden = std::getenv("LUMOTEXT_JSONTESTSUITE")) return overridden;
  return test_support::FindShared("testdata/jsontestsuite").value_or("shared/testdata/jsontestsuite");
}

// Valid documents on which this parser reports, with the rule that makes it do so.
const std::map<std::string, std::string> kExpectedDiagnostics = {
    {"y_structure_lonely_int.json", "a number must be followed by whitespace, ',', ']' or '}'"},
    {"y_structure_lonely_negative_real.json", "a number must be followed by whitespace, ',', ']' or '}'"},
};

// The diagnostics of one parse, or the message of a numeric conversion that threw.
std::string Parse(const std::string& text) {
  CaptureStderr captured;
  try {
    (void)JSON::Load(text).dump(1, "  ");  // the writer gets every shape the parser makes
  } catch (const std::logic_error& e) {    // std::invalid_argument and std::out_of_range
    return std::string("conversion: ") + e.what();
  }
  return captured.text();
}

TEST(JsonTestSuite, EveryDocumentParsesSafely) {
  const fs::path dir = SuiteDirectory() / "test_parsing";
  if (!fs::is_directory(dir))
    GTEST_SKIP() << "JSON test collection not found at " << dir
                 << " (expected in shared/testdata/jsontestsuite beside the repository or a parent)";
  for (const auto& [name, reason] : kExpectedDiagnostics) EXPECT_TRUE(fs::exists(dir / name)) << name;
  std::size_t valid = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::string reported = Parse(text);
    if (text.size() <= 4096)  // every cut ends the text inside some construct
      for (std::size_t length = 0; length < text.size(); ++length) Parse(text.substr(0, length));
    if (name.rfind("y_", 0) != 0) continue;  // invalid or implementation-defined: safety only
    ++valid;
    if (kExpectedDiagnostics.count(name))
      EXPECT_NE(reported, "") << name << " should report: " << kExpectedDiagnostics.at(name);
    else
      EXPECT_EQ(reported, "") << name;
  }
  EXPECT_EQ(valid, 95u);
}

}  // namespace
