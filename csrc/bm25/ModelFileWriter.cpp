#include "bm25/ModelFileWriter.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <streambuf>

namespace lumo::typing::text {
namespace {

constexpr const char* kUnableToOpen = "Failed to dump: Unable to open file";
constexpr int kMaxSymlinkHops = 40;  // as the kernel's own limit

[[noreturn]] void Fail(const char* what, int error) {
  std::string message = "Failed to dump: ";
  message += what;
  if (error != 0) {
    message += ": ";
    message += std::strerror(error);
  }
  throw std::runtime_error(message);
}

// An output buffer over a file descriptor that remembers the first write error, so the error
// can be named when the stream reports failure.
class FdBuffer : public std::streambuf {
 public:
  explicit FdBuffer(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }
  int error() const { return error_; }

 protected:
  int_type overflow(int_type ch) override {
    if (!Drain()) return traits_type::eof();
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(ch);
      pbump(1);
    }
    return traits_type::not_eof(ch);
  }

  int sync() override { return Drain() ? 0 : -1; }

 private:
  bool Drain() {
    if (error_ != 0) return false;
    const char* data = pbase();
    std::size_t left = static_cast<std::size_t>(pptr() - pbase());
    while (left > 0) {
      const ssize_t written = ::write(fd_, data, left);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        error_ = written < 0 ? errno : EIO;
        return false;
      }
      data += written;
      left -= static_cast<std::size_t>(written);
    }
    setp(buffer_, buffer_ + sizeof buffer_);
    return true;
  }

  int fd_;
  int error_ = 0;
  char buffer_[1 << 16];
};

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string BaseNameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ReadLink(const std::string& path, std::string& target) {
  std::string buffer(256, '\0');
  while (true) {
    const ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0) return false;
    if (static_cast<std::size_t>(length) < buffer.size()) {
      target.assign(buffer.data(), static_cast<std::size_t>(length));
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
}

struct Target {
  std::string path;  // the final path, symbolic links followed
  bool exists = false;
  struct stat status {};
};

// The kernel's rule for following a symbolic link (fs.protected_symlinks): in a directory that
// is sticky and world-writable, such as /tmp, a link is followed only when it belongs to the
// caller or to the directory's owner. Anyone may plant a link there, and following theirs would
// let them choose which file a dump replaces.
bool MayFollow(const struct stat& link, const struct stat& directory) {
  if (link.st_uid == ::geteuid()) return true;
  if ((directory.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH)) return true;
  return directory.st_uid == link.st_uid;
}

// Follows symbolic links one at a time rather than with realpath, because a dangling link
// must lead to the path it names: that is where the new file belongs. Links in the directory
// part of each path are left to the kernel, which applies its own rule to them; the final link
// of each hop is followed here, so the kernel's rule is applied here too.
bool Resolve(const std::string& path, Target& target) {
  std::string current = path;
  for (int hop = 0; hop <= kMaxSymlinkHops; ++hop) {
    struct stat status {};
    if (::lstat(current.c_str(), &status) != 0) {
      if (errno != ENOENT) return false;
      target.path = current;
      target.exists = false;
      return true;
    }
    if (!S_ISLNK(status.st_mode)) {
      target.path = current;
      target.exists = true;
      target.status = status;
      return true;
    }
    const std::string directory = DirectoryOf(current);
    struct stat directory_status {};
    if (::stat(directory.empty() ? "." : directory.c_str(), &directory_status) != 0) return false;
    if (!MayFollow(status, directory_status)) {
      throw std::runtime_error("Failed to dump: not following the symbolic link " + current + ": it belongs to uid " +
                               std::to_string(status.st_uid) +
                               ", neither the caller nor the owner of the sticky world-writable directory it is in");
    }
    std::string link;
    if (!ReadLink(current, link) || link.empty()) return false;
    current = link[0] == '/' ? link : directory + link;
  }
  return false;
}

// Streams the content into `fd` and checks that every byte reached it.
void Produce(int fd, const std::function<void(std::ostream&)>& produce) {
  FdBuffer buffer(fd);
  std::ostream out(&buffer);
  try {
    produce(out);
  } catch (...) {
    if (buffer.error() != 0) Fail("Unable to write file", buffer.error());
    throw;
  }
  out.flush();
  if (!out) Fail("Unable to write file", buffer.error());
}

void WriteInPlace(const std::string& path, const std::function<void(std::ostream&)>& produce) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw std::runtime_error(kUnableToOpen);
  try {
    Produce(fd, produce);
  } catch (...) {
    ::close(fd);
    throw;
  }
  if (::close(fd) != 0) Fail("Unable to close file", errno);
}

// Temporary files are named "." + the target's name (at most 200 bytes of it) + this infix +
// 16 random hexadecimal digits, so that nobody can guess a name ahead of time, and so that the
// ones left by a killed process can be told apart and removed by a later dump.
constexpr const char* kTemporaryInfix = ".lumotext-tmp-";
constexpr std::size_t kRandomDigits = 16;

std::string TemporaryPrefix(const std::string& base) { return "." + base.substr(0, 200) + kTemporaryInfix; }

std::uint64_t RandomNumber() {
  std::uint64_t value = 0;
  if (::getrandom(&value, sizeof value, 0) == static_cast<ssize_t>(sizeof value)) return value;
  std::random_device device;
  return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

std::string RandomDigits() {
  static constexpr char kHex[] = "0123456789abcdef";
  std::uint64_t value = RandomNumber();
  std::string digits(kRandomDigits, '0');
  for (char& digit : digits) {
    digit = kHex[value & 15u];
    value >>= 4;
  }
  return digits;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Owns a temporary file until it has been renamed into place. The file is locked (flock) while
// it is being written: the lock dies with the process, so an unlocked temporary file of our
// naming was left by a process that is gone, and RemoveStaleTemporaries may delete it.
class TemporaryFile {
 public:
  TemporaryFile(const std::string& directory, const std::string& base) {
    const std::string prefix = directory + TemporaryPrefix(base);
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
      path_ = prefix + RandomDigits();
      fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd_ < 0) {
        if (errno == EEXIST) continue;
        break;
      }
      // Between creating and locking, a clean-up in another process may have taken the file for
      // a stale one and removed it; then start again under a new name.
      struct stat opened {};
      struct stat named {};
      if (::flock(fd_, LOCK_EX) != 0 || ::fstat(fd_, &opened) != 0 || ::lstat(path_.c_str(), &named) != 0 ||
          !SameFile(opened, named)) {
        ::close(fd_);
        fd_ = -1;
      }
    }
    if (fd_ < 0) throw std::runtime_error(kUnableToOpen);
  }

  ~TemporaryFile() {
    // Removed before the descriptor (and with it the lock) goes, so no clean-up can meet it.
    if (!committed_) ::unlink(path_.c_str());
    if (fd_ >= 0) ::close(fd_);
  }

  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int fd() const { return fd_; }

  // Renaming happens with the file still open, so it is still locked when it disappears from
  // the temporary name.
  void RenameTo(const std::string& target) {
    if (::rename(path_.c_str(), target.c_str()) != 0) Fail("Unable to replace file", errno);
    committed_ = true;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool committed_ = false;
};

// Makes the rename itself durable: without this, a crash soon after a successful dump can bring
// back the old file (or no file) although the new content is on disk.
void SyncDirectory(const std::string& directory) {
  const int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;  // a directory we may write but not read: nothing more can be done
  const int result = ::fsync(fd);
  const int error = errno;
  ::close(fd);
  // Some file systems cannot sync a directory (EINVAL); that is not a failure of the dump.
  if (result != 0 && error != EINVAL && error != EROFS && error != ENOTSUP) Fail("Unable to sync directory", error);
}

// Removes the temporary files of `base` that a killed process left behind: files of our naming
// whose lock nobody holds. Best effort: anything unexpected leaves the entry alone.
void RemoveStaleTemporaries(const std::string& directory, const std::string& base) {
  DIR* listing = ::opendir(directory.empty() ? "." : directory.c_str());
  if (listing == nullptr) return;
  const std::string prefix = TemporaryPrefix(base);
  while (const struct dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name.size() != prefix.size() + kRandomDigits || name.compare(0, prefix.size(), prefix) != 0 ||
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

void WriteReplacing(const Target& target, const std::function<void(std::ostream&)>& produce) {
  const std::string base = BaseNameOf(target.path);
  if (base.empty() || base == "." || base == "..") throw std::runtime_error(kUnableToOpen);
  // Renaming would replace a file that the caller may not write; opening it would have failed.
  if (target.exists && ::faccessat(AT_FDCWD, target.path.c_str(), W_OK, AT_EACCESS) != 0)
    throw std::runtime_error(kUnableToOpen);
  TemporaryFile temporary(DirectoryOf(target.path), base);
  if (target.exists) {
    // The replacement takes the place of the old file, so it takes its permissions too, and
    // its owner where the caller may give it (as root); otherwise it stays the caller's.
    // Ownership first: a change of owner may clear the set-id bits that fchmod then restores.
    if (::fchown(temporary.fd(), target.status.st_uid, target.status.st_gid) != 0) {
    }
    ::fchmod(temporary.fd(), target.status.st_mode & 07777);
  }
  Produce(temporary.fd(), produce);
  if (::fsync(temporary.fd()) != 0) Fail("Unable to write file", errno);
  // Closed (and unlocked) only once renamed; its content is already on disk, so closing
  // cannot lose it.
  temporary.RenameTo(target.path);
  const std::string directory = DirectoryOf(target.path);
  SyncDirectory(directory);
  RemoveStaleTemporaries(directory, base);
}

}  // namespace

void WriteModelFile(const std::string& path, const std::function<void(std::ostream&)>& produce) {
  // A path with a NUL byte would silently name a shorter path.
  if (path.empty() || path.find('\0') != std::string::npos) throw std::runtime_error(kUnableToOpen);
  Target target;
  if (!Resolve(path, target)) throw std::runtime_error(kUnableToOpen);
  if (target.exists && !S_ISREG(target.status.st_mode)) {
    WriteInPlace(path, produce);
    return;
  }
  WriteReplacing(target, produce);
}

}  // namespace lumo::typing::text
