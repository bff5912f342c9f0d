#include "fileio/AtomicReplace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <random>

namespace lumo::fileio {
namespace {

std::uint64_t RandomNumber() {
  std::uint64_t value = 0;
  if (::getrandom(&value, sizeof value, 0) == static_cast<ssize_t>(sizeof value)) return value;
  std::random_device device;
  return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

std::string RandomDigits() {
  static constexpr char kHex[] = "0123456789abcdef";
  std::uint64_t value = RandomNumber();
  std::string digits(kTemporaryDigits, '0');
  for (char& digit : digits) {
    digit = kHex[value & 15u];
    value >>= 4;
  }
  return digits;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

LockedTemporary::LockedTemporary(const std::string& directory, const std::string& prefix) {
  const std::string start = directory + prefix;
  error_ = EEXIST;
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    path_ = start + RandomDigits();
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      error_ = errno;
      if (errno == EEXIST) continue;
      break;
    }
    // Between creating and locking, a clean-up in another process may have taken the file for
    // a stale one and removed it; then start again under a new name.
    struct stat opened {};
    struct stat named {};
    if (::flock(fd_, LOCK_EX) != 0 || ::fstat(fd_, &opened) != 0 || ::lstat(path_.c_str(), &named) != 0 ||
        !SameFile(opened, named)) {
      error_ = errno != 0 ? errno : EAGAIN;
      ::close(fd_);
      fd_ = -1;
    }
  }
  if (fd_ >= 0) error_ = 0;
}

LockedTemporary::~LockedTemporary() {
  if (fd_ >= 0 && !renamed_) ::unlink(path_.c_str());
  if (fd_ >= 0) ::close(fd_);
}

int LockedTemporary::RenameTo(const std::string& target) {
  if (::rename(path_.c_str(), target.c_str()) != 0) return errno;
  renamed_ = true;
  return 0;
}

int WriteAll(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, p, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return written < 0 ? errno : EIO;
    p += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

int SyncDirectory(const std::string& directory) {
  const int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;  // a directory we may write but not read: nothing more can be done
  const int result = ::fsync(fd);
  const int error = errno;
  ::close(fd);
  // Some file systems cannot sync a directory; that is not a failure of the write.
  if (result != 0 && error != EINVAL && error != EROFS && error != ENOTSUP) return error;
  return 0;
}

void RemoveStaleTemporaries(const std::string& directory, const std::string& prefix) {
  DIR* listing = ::opendir(directory.empty() ? "." : directory.c_str());
  if (listing == nullptr) return;
  while (const struct dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name.size() != prefix.size() + kTemporaryDigits || name.compare(0, prefix.size(), prefix) != 0 ||
        name.find_first_not_of("0123456789abcdef", prefix.size()) != std::string::npos) {
      continue;
    }
    const std::string path = directory + name;
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat opened {};
    struct stat named {};
    if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        ::lstat(path.c_str(), &named) == 0 && SameFile(opened, named)) {
      ::unlink(path.c_str());
    }
    ::close(fd);
  }
  ::closedir(listing);
}

}  // namespace lumo::fileio
