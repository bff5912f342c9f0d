#include "bm25/ModelFileWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <streambuf>

#include "fileio/AtomicReplace.h"

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
// 16 random hexadecimal digits (see fileio/AtomicReplace.h), so that the ones left by a killed
// process can be told apart and removed by a later dump.
constexpr const char* kTemporaryInfix = ".lumotext-tmp-";

std::string TemporaryPrefix(const std::string& base) { return "." + base.substr(0, 200) + kTemporaryInfix; }

void WriteReplacing(const Target& target, const std::function<void(std::ostream&)>& produce) {
  const std::string base = BaseNameOf(target.path);
  if (base.empty() || base == "." || base == "..") throw std::runtime_error(kUnableToOpen);
  // Renaming would replace a file that the caller may not write; opening it would have failed.
  if (target.exists && ::faccessat(AT_FDCWD, target.path.c_str(), W_OK, AT_EACCESS) != 0)
    throw std::runtime_error(kUnableToOpen);
  fileio::LockedTemporary temporary(DirectoryOf(target.path), TemporaryPrefix(base));
  if (temporary.error() != 0) throw std::runtime_error(kUnableToOpen);
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
  if (const int error = temporary.RenameTo(target.path)) Fail("Unable to replace file", error);
  const std::string directory = DirectoryOf(target.path);
  if (const int error = fileio::SyncDirectory(directory)) Fail("Unable to sync directory", error);
  fileio::RemoveStaleTemporaries(directory, TemporaryPrefix(base));
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
