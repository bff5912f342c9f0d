#pragma once

// The commit file of a saved index: the one file that says what the index is. Everything else
// in the directory is an immutable data file that a commit names. Text, so that a person can
// read it, with exact byte counts around the two embedded JSON texts:
//
//   lumotext-index 2\n
//   k1 1.2\n                       shortest text that reads back as the same double
//   b 0.75\n
//   analyzer 97\n<97 bytes>\n      the analyzer settings, JSON text passed through unchanged
//   engine 54\n<54 bytes>\n        the engine's own description, JSON text
//   files 8\n
//   file <name> <size> <checksum>\n   one line per data file: decimal size, 16 hex digits
//   checksum <16 hex digits>\n     Checksum64 of every byte before this line
//
// The reader accepts exactly what the writer writes (no other spacing, no leading zeros, no
// unknown lines), so a flipped bit anywhere is either caught by the checksum or by the syntax.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumo::index {

inline constexpr const char* kCommitFormatName = "lumotext-index";
inline constexpr int kCommitFormatVersion = 2;

struct CommitFileEntry {
  std::string name;
  std::uint64_t size = 0;
  std::uint64_t checksum = 0;
};

struct CommitRecord {
  double k1 = 0;
  double b = 0;
  std::string analyzer_json;
  std::string engine_json;
  std::vector<CommitFileEntry> files;
};

// Whether `name` may name a data file: 1 to 64 bytes of ASCII letters, digits, '_', '-' and
// '.', not starting with '.', so that no data file can be taken for the commit file, the lock
// or a temporary, and every name derived from it stays far below any file-system limit.
bool IsDataFileName(std::string_view name);

// The text of a commit file. Throws InvalidArgument for a data file name that IsDataFileName
// refuses, a repeated name, or k1 or b that is not finite.
std::string EncodeCommit(const CommitRecord& record);

// Parses a commit file; CorruptIndex (naming `where`) for anything EncodeCommit would not have
// written, including a wrong checksum, and for a file of another format or version.
CommitRecord DecodeCommit(std::string_view text, const std::string& where);

// Whether `text` starts as a commit file of this format (any version): the ownership test of
// a directory. A file that does not is not ours, whatever else it holds.
bool LooksLikeCommit(std::string_view text);

// The checksum line for the bytes before it ("checksum " + 16 hex digits + "\n"), so that tools
// (the fuzz target) can seal an edited commit file.
std::string CommitChecksumLine(std::string_view body);

}  // namespace lumo::index
