// Replays every kept fuzz input (the seeds and each input that once broke a property) through the
// same checks the fuzz targets run, so that `make test` keeps covering what fuzzing found.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzChecks.h"
#include "capture_stderr.h"

namespace {

namespace fs = std::filesystem;

fs::path CorpusRoot() { return fs::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz" / "corpus"; }

struct Target {
  std::string name;
  std::function<void(const std::string&)> check;
};

// Without this gtest prints the parameter's raw bytes, padding included (valgrind flags that).
void PrintTo(const Target& target, std::ostream* os) { *os << target.name; }

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class FuzzCorpusReplay : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzCorpusReplay, EveryKeptInputHoldsTheProperty) {
  const fs::path dir = CorpusRoot() / GetParam().name;
  ASSERT_TRUE(fs::is_directory(dir)) << dir;
  std::vector<fs::path> inputs;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.is_regular_file()) inputs.push_back(entry.path());
  }
  std::sort(inputs.begin(), inputs.end());
  ASSERT_FALSE(inputs.empty()) << "no seeds in " << dir;
  for (const fs::path& input : inputs) {
    CaptureStderr quiet;  // diagnostics and log records of malformed inputs are expected
    try {
      GetParam().check(ReadAll(input));
    } catch (const lumo::fuzz::CheckFailure& e) {
      ADD_FAILURE() << input.filename() << ": " << e.what();
    } catch (const std::exception& e) {
      ADD_FAILURE() << input.filename() << ": unexpected exception: " << e.what();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpusReplay,
                         ::testing::Values(Target{"json_parser", lumo::fuzz::CheckJsonRoundTrip},
                                           Target{"loaders", lumo::fuzz::CheckLoaderInput},
                                           Target{"model_loader", lumo::fuzz::CheckModelLoad},
                                           Target{"segmenter", lumo::fuzz::CheckSegmentation}),
                         [](const ::testing::TestParamInfo<Target>& info) { return info.param.name; });

}  // namespace
