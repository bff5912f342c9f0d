// Arbitrary bytes as the files of a saved index: the loader refuses them or builds an index
// that works (see IndexLoaderCheck.h).
#include <cstddef>
#include <cstdint>
#include <string>

#include "IndexLoaderCheck.h"
#include "QuietStderr.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  lumo::fuzz::QuietStderr();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  lumo::fuzz::CheckIndexLoad(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
