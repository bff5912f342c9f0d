#pragma once

// The parser's diagnostics and the loaders' log records go to std::cerr; at thousands of inputs
// a second they would drown libFuzzer's own report (which it writes through C stdio, unaffected).
#include <iostream>

namespace lumo::fuzz {

inline void QuietStderr() { std::cerr.rdbuf(nullptr); }

}  // namespace lumo::fuzz
