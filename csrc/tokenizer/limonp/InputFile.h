#pragma once

#include <fstream>
#include <string>
#include <sys/stat.h>

namespace lumo::typing::text::limonp {

// Opens a data file for reading, leaving `in` closed (so the caller's open check fails and
// names the path) where plain opening would mislead:
// - a path with a NUL byte, which the file system would read only up to the NUL, so that
//   "dict.txt\0anything" silently opened dict.txt;
// - a directory, which opens on Linux and then reads as an empty file, so that a directory
//   given as a user dictionary, IDF or stop-word file was accepted as an empty one.
inline void OpenForReading(std::ifstream& in, const std::string& path) {
  if (path.find('\0') != std::string::npos) return;
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return;
  in.open(path.c_str());
}

// The path as a record shows it: a NUL byte is written as the two characters \0, because a
// record's text reaches Python as a C string and would otherwise end at the NUL.
inline std::string ShownPath(const std::string& path) {
  std::string shown;
  for (char c : path) {
    if (c == '\0') {
      shown += "\\0";
    } else {
      shown += c;
    }
  }
  return shown;
}

}  // namespace lumo::typing::text::limonp
