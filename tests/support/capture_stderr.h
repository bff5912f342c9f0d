#pragma once

#include <iostream>
#include <sstream>
#include <string>

// Collects what std::cerr receives while it lives; the JSON parser reports there.
class CaptureStderr {
 public:
  CaptureStderr() : previous_(std::cerr.rdbuf(captured_.rdbuf())) {}
  ~CaptureStderr() { std::cerr.rdbuf(previous_); }
  CaptureStderr(const CaptureStderr&) = delete;
  CaptureStderr& operator=(const CaptureStderr&) = delete;

  std::string text() const { return captured_.str(); }

 private:
  std::ostringstream captured_;
  std::streambuf* previous_;
};
