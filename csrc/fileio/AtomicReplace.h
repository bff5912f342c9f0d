#pragma once

// The parts of replacing a file atomically that every writer of this project shares: a locked
// temporary file beside the target, renamed over it once its content is on disk, the directory
// flushed after the rename, and the clean-up of temporaries that killed processes left behind.
//
// Temporary names are a caller's fixed prefix followed by 16 random hexadecimal digits, so that
// nobody can guess one ahead of time and a later writer can tell them apart. A temporary is
// locked (flock) for as long as its writer holds it; the lock dies with the process, so an
// unlocked temporary of a prefix was left by a process that is gone.
//
// Directories are given as a path prefix: empty for the working directory, otherwise ending
// in '/'. Failures are returned as errno values, so each writer reports them in its own terms.
#include <cstddef>
#include <string>

namespace lumo::fileio {

class LockedTemporary {
 public:
  // Creates and locks a new file `directory` + `prefix` + 16 random digits (mode 0666 before
  // the umask). error() tells whether that worked.
  LockedTemporary(const std::string& directory, const std::string& prefix);
  // Removes the file unless it was renamed, before closing it, so no clean-up can meet it.
  ~LockedTemporary();
  LockedTemporary(const LockedTemporary&) = delete;
  LockedTemporary& operator=(const LockedTemporary&) = delete;

  int error() const { return error_; }  // 0, or the errno of the failed creation
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

  // Renames the file to `target` (replacing it) with the file still open and locked; 0 or errno.
  int RenameTo(const std::string& target);

 private:
  std::string path_;
  int fd_ = -1;
  int error_ = 0;
  bool renamed_ = false;
};

// Writes all of `data` to `fd`; 0 or errno.
int WriteAll(int fd, const void* data, std::size_t size);

// Flushes a directory after a rename in it, so that a crash cannot bring back the old entry.
// 0 or errno; a directory that cannot be opened for reading, or a file system that cannot sync
// directories, is no failure (0).
int SyncDirectory(const std::string& directory);

// Removes the files `prefix` + 16 hexadecimal digits in `directory` whose lock nobody holds.
// Best effort: anything unexpected leaves the entry alone.
void RemoveStaleTemporaries(const std::string& directory, const std::string& prefix);

// The number of hexadecimal digits after a temporary's prefix.
inline constexpr std::size_t kTemporaryDigits = 16;

}  // namespace lumo::fileio
