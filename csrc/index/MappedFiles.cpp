#include "index/MappedFiles.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace lumo::index {
namespace {
alignas(8) const char kEmpty[8] = {};
}  // namespace

MappedFiles::~MappedFiles() {
  for (auto& [address, size] : regions_) ::munmap(address, size);
}

int MappedFiles::Map(const std::string& path, std::string_view& bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st {};
  const int error = ::fstat(fd, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : EINVAL);
  if (error != 0) {
    ::close(fd);
    return error;
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  if (size == 0) {
    ::close(fd);
    bytes = std::string_view(kEmpty, 0);
    return 0;
  }
  void* address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  const int map_error = errno;
  ::close(fd);
  if (address == MAP_FAILED) return map_error;
  regions_.emplace_back(address, size);
  bytes = std::string_view(static_cast<const char*>(address), size);
  return 0;
}

void MappedFiles::ReleasePages(std::string_view bytes) const {
  for (const auto& [address, size] : regions_) {
    // Advice only: a failure leaves the pages resident, which is still correct.
    if (address == bytes.data()) ::madvise(address, size, MADV_DONTNEED);
  }
}

int ReadWholeFile(const std::string& path, std::size_t limit, std::string& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  out.clear();
  char buffer[1 << 16];
  int error = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      break;
    }
    if (n == 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
    if (out.size() > limit) {
      error = EFBIG;
      break;
    }
  }
  ::close(fd);
  return error;
}

}  // namespace lumo::index
