#include "index/IndexFiles.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "index/Checksum.h"

namespace lumo::index {

namespace {

std::runtime_error SystemError(const std::string& what, const std::string& path) {
  return std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

IndexFileInfo WriteFile(const std::string& dir, const char* name, const void* data, std::size_t size) {
  const std::string path = dir + "/" + name;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw SystemError("cannot create", path);
  const auto* p = static_cast<const char*>(data);
  std::size_t left = size;
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      const auto error = SystemError("cannot write", path);
      ::close(fd);
      throw error;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) {
    const auto error = SystemError("cannot flush", path);
    ::close(fd);
    throw error;
  }
  if (::close(fd) != 0) throw SystemError("cannot close", path);
  return {name, size, Checksum64(data, size)};
}

template <class T>
IndexFileInfo WriteVector(const std::string& dir, const char* name, const std::vector<T>& v) {
  return WriteFile(dir, name, v.data(), v.size() * sizeof(T));
}

// The mappings of one loaded index, unmapped together when the last user lets go.
struct Mappings {
  std::vector<std::pair<void*, std::size_t>> regions;
  ~Mappings() {
    for (auto& [address, size] : regions) ::munmap(address, size);
  }
};

alignas(8) const char kEmpty[8] = {};

}  // namespace

std::vector<IndexFileInfo> WriteIndexFiles(const IndexSnapshot& s, const std::string& dir) {
  return {WriteFile(dir, kIndexFileNames[0], s.term_text.data(), s.term_text.size()),
          WriteVector(dir, kIndexFileNames[1], s.term_offsets),
          WriteVector(dir, kIndexFileNames[2], s.term_order),
          WriteVector(dir, kIndexFileNames[3], s.posting_offsets),
          WriteVector(dir, kIndexFileNames[4], s.posting_docs),
          WriteVector(dir, kIndexFileNames[5], s.posting_tfs),
          WriteVector(dir, kIndexFileNames[6], s.doc_lengths),
          WriteVector(dir, kIndexFileNames[7], s.live)};
}

IndexFileBytes MapIndexFiles(const std::string& dir) {
  auto mappings = std::make_shared<Mappings>();
  IndexFileBytes bytes;
  for (std::size_t i = 0; i < kIndexFileNames.size(); ++i) {
    const std::string path = dir + "/" + kIndexFileNames[i];
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw SystemError("cannot open", path);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      const auto error = SystemError("cannot stat", path);
      ::close(fd);
      throw error;
    }
    if (!S_ISREG(st.st_mode)) {
      ::close(fd);
      throw std::runtime_error("not a regular file: " + path);
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    if (size == 0) {
      bytes.files[i] = std::string_view(kEmpty, 0);
      ::close(fd);
      continue;
    }
    void* address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    const int map_errno = errno;
    ::close(fd);
    if (address == MAP_FAILED) {
      errno = map_errno;
      throw SystemError("cannot map", path);
    }
    mappings->regions.emplace_back(address, size);
    bytes.files[i] = std::string_view(static_cast<const char*>(address), size);
  }
  bytes.owner = mappings;
  return bytes;
}

std::unique_ptr<InvertedIndex> IndexFromFiles(const IndexFileBytes& bytes, double k1, double b) {
  auto bad = [](const std::string& why) { return std::invalid_argument("damaged index: " + why); };
  const auto& f = bytes.files;
  for (std::size_t i = 0; i < f.size(); ++i) {
    if (reinterpret_cast<std::uintptr_t>(f[i].data()) % 8 != 0)
      throw bad(std::string(kIndexFileNames[i]) + " is not aligned");
  }
  auto element_count = [&](std::size_t i, std::size_t width) {
    if (f[i].size() % width != 0) throw bad(std::string(kIndexFileNames[i]) + " has a partial element");
    return static_cast<std::uint64_t>(f[i].size() / width);
  };
  IndexArrays a;
  a.n_terms = element_count(2, 4);
  if (element_count(1, 8) != a.n_terms + 1) throw bad("term_offsets.u64 does not match the term count");
  if (element_count(3, 8) != a.n_terms + 1) throw bad("posting_offsets.u64 does not match the term count");
  a.n_postings = element_count(4, 4);
  if (element_count(5, 4) != a.n_postings) throw bad("posting_tfs.u32 does not match posting_docs.u32");
  a.n_docs = element_count(6, 8);  // two lengths per document
  if (element_count(7, 1) != a.n_docs) throw bad("live.u8 does not match doc_lengths.u32");
  a.term_text = f[0].data();
  a.term_text_size = f[0].size();
  a.term_offsets = reinterpret_cast<const std::uint64_t*>(f[1].data());
  a.term_order = reinterpret_cast<const std::uint32_t*>(f[2].data());
  a.posting_offsets = reinterpret_cast<const std::uint64_t*>(f[3].data());
  a.posting_docs = reinterpret_cast<const std::uint32_t*>(f[4].data());
  a.posting_tfs = reinterpret_cast<const std::uint32_t*>(f[5].data());
  a.doc_lengths = reinterpret_cast<const std::uint32_t*>(f[6].data());
  a.live = reinterpret_cast<const std::uint8_t*>(f[7].data());
  return InvertedIndex::FromArrays(a, bytes.owner, k1, b);
}

}  // namespace lumo::index
