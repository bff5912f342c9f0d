// Arbitrary content as one of the five data files (the first byte picks which): it loads, with
// numbers that are numbers (no NaN weight, finite HMM probabilities and idf values), or it fails
// a fatal check.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzChecks.h"
#include "QuietStderr.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  lumo::fuzz::QuietStderr();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  lumo::fuzz::CheckLoaderInput(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
