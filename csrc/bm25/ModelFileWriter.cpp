#include "bm25/ModelFileWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
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
  struct stat status{};
};

// Follows symbolic links one at a time rather than with realpath, because a dangling link
// must lead to the path it names: that is where the new file belongs.
bool Resolve(const std::string& path, Target& target) {
  std::string current = path;
  for (int hop = 0; hop <= kMaxSymlinkHops; ++hop) {
    struct stat status{};
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
    std::string link;
    if (!ReadLink(current, link) || link.empty()) return false;
    current = link[0] == '/' ? link : DirectoryOf(current) + link;
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

// Owns a temporary file until it has been renamed into place.
class TemporaryFile {
 public:
  TemporaryFile(const std::string& directory, const std::string& base) {
    static std::atomic<unsigned> counter{0};
    // Keep the name within the file-name limit however long the target's name is.
    const std::string stem =
        directory + "." + base.substr(0, 200) + ".tmp" + std::to_string(::getpid()) + ".";
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
      path_ = stem + std::to_string(counter.fetch_add(1));
      fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) throw std::runtime_error(kUnableToOpen);
  }

  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(path_.c_str());
  }

  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int fd() const { return fd_; }

  void Close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) Fail("Unable to close file", errno);
  }

  void RenameTo(const std::string& target) {
    if (::rename(path_.c_str(), target.c_str()) != 0) Fail("Unable to replace file", errno);
    committed_ = true;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool committed_ = false;
};

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
  temporary.Close();
  temporary.RenameTo(target.path);
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
