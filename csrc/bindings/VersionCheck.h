#pragma once

#include <cstring>
#include <string>

namespace lumo::typing::pybind {

// The Python series this module is built for. An extension is tied to one minor version's ABI.
inline constexpr const char* kCompiledPythonVersion = "3.12";

// True when an interpreter's version text (as Py_GetVersion gives it) belongs to the 3.12
// series: "3.12" must be followed by something other than a digit, so "3.120" is refused.
inline bool IsCompatiblePythonVersion(const char* version) {
  const std::size_t prefix = std::strlen(kCompiledPythonVersion);
  if (std::strncmp(version, kCompiledPythonVersion, prefix) != 0) return false;
  const char next = version[prefix];
  return !(next >= '0' && next <= '9');
}

inline std::string PythonVersionMismatchMessage(const char* version) {
  return std::string("Python version mismatch: module was compiled for Python ") + kCompiledPythonVersion +
         ", but the interpreter version is incompatible: " + version + ".";
}

}  // namespace lumo::typing::pybind
