#pragma once

// Read-only mappings of whole files that live as long as their last user: the bytes a loaded
// index works on. Each view starts 8-byte aligned (a mapping is page-aligned; an empty file is a
// static empty buffer), so arrays of 64-bit numbers can be read in place.
//
// A mapped file must not be rewritten in place by anyone while it is mapped: a shortened file
// makes reads past its new end fault (SIGBUS). The index library never does this; it only ever
// writes new files and renames them into place, which leaves a mapped file's bytes untouched.
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumo::index {

class MappedFiles {
 public:
  MappedFiles() = default;
  ~MappedFiles();
  MappedFiles(const MappedFiles&) = delete;
  MappedFiles& operator=(const MappedFiles&) = delete;

  // Maps the file at `path`. Returns 0 and sets `bytes`, or an errno (EINVAL for a path that is
  // not a regular file).
  int Map(const std::string& path, std::string_view& bytes);
  // Lets go of the resident pages of a file this object mapped (`bytes` as Map gave them): they
  // are read again from the page cache when next used. After a whole file was read once (a
  // checksum), only the pages searches use then stay resident.
  void ReleasePages(std::string_view bytes) const;

 private:
  std::vector<std::pair<void*, std::size_t>> regions_;
};

// Reads the whole file at `path` into `out`: 0, or an errno (EFBIG past `limit` bytes).
int ReadWholeFile(const std::string& path, std::size_t limit, std::string& out);

}  // namespace lumo::index
