#include "index/IndexDirectory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <set>

#include "fileio/AtomicReplace.h"
#include "index/Checksum.h"
#include "index/CommitFile.h"
#include "index/Errors.h"
#include "index/FirstFormat.h"
#include "index/MappedFiles.h"

namespace lumo::index {
namespace {

constexpr std::size_t kMaxCommitSize = std::size_t{256} << 20;
constexpr int kLoadAttempts = 100;

enum class State { kMissing, kNotDirectory, kEmpty, kCommitted, kFirstFormat, kForeign };

std::string Prefix(const std::string& path) { return path.back() == '/' ? path : path + "/"; }

// A data file's name on disk: its content's checksum is part of it, so new content always gets
// a new name and a file, once written, is never written again.
std::string StoredName(const CommitFileEntry& file) { return file.name + "." + ChecksumText(file.checksum); }

bool IsStoredName(const std::string& name) {
  if (name.size() < 18 || name[name.size() - 17] != '.') return false;
  if (name.find_first_not_of("0123456789abcdef", name.size() - 16) != std::string::npos) return false;
  return IsDataFileName(std::string_view(name).substr(0, name.size() - 17));
}

bool IsTemporaryName(const std::string& name) {
  const std::string prefix = kTemporaryPrefix;
  return name.size() == prefix.size() + fileio::kTemporaryDigits && name.compare(0, prefix.size(), prefix) == 0 &&
         name.find_first_not_of("0123456789abcdef", prefix.size()) == std::string::npos;
}

void CheckPath(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) {
    throw InvalidArgument("the path of a saved index must be a non-empty path without NUL characters");
  }
}

// The entries of a directory, "." and ".." left out.
std::vector<std::string> Entries(const std::string& path) {
  DIR* listing = ::opendir(path.c_str());
  if (listing == nullptr) throw FileError(errno, "cannot list", path);
  std::vector<std::string> names;
  errno = 0;
  while (const struct dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(listing);
  return names;
}

State Inspect(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return State::kMissing;
    throw FileError(errno, "cannot look at", path);
  }
  if (!S_ISDIR(st.st_mode)) return State::kNotDirectory;
  const std::string dir = Prefix(path);
  const int fd = ::open((dir + kCommitFileName).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    char start[32];
    const ssize_t n = ::read(fd, start, sizeof start);
    ::close(fd);
    return n > 0 && LooksLikeCommit(std::string_view(start, static_cast<std::size_t>(n))) ? State::kCommitted
                                                                                          : State::kForeign;
  }
  if (errno != ENOENT) throw FileError(errno, "cannot read", dir + kCommitFileName);
  // Without a commit: a first-format index (its manifest and arrays, nothing else), or empty, or
  // the leftovers of a first save that was killed (the lock comes first, then names of ours).
  const bool first_format = IsFirstFormatDirectory(dir);
  const std::vector<std::string> first_format_names = FirstFormatFileNames();
  const std::vector<std::string> names = Entries(path);
  bool locked = false;
  for (const std::string& name : names) {
    if (name == kLockFileName) {
      locked = true;
    } else if (!IsTemporaryName(name) && !IsStoredName(name) &&
               !(first_format &&
                 std::find(first_format_names.begin(), first_format_names.end(), name) != first_format_names.end())) {
      return State::kForeign;
    }
  }
  if (first_format) return State::kFirstFormat;
  return names.empty() || locked ? State::kEmpty : State::kForeign;
}

[[noreturn]] void Refuse(const std::string& path) {
  throw FileError(EEXIST, "not a saved lumotext index (nor an empty directory); refusing to save over", path);
}

void CheckOurs(State state, const std::string& path) {
  if (state == State::kNotDirectory || state == State::kForeign) Refuse(path);
}

// The directory's lock, held from construction to destruction.
class DirectoryLock {
 public:
  explicit DirectoryLock(const std::string& dir) {
    const std::string path = dir + kLockFileName;
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd_ < 0) throw FileError(errno, "cannot create the lock file", path);
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd_);
      throw FileError(error, "cannot lock", path);
    }
  }
  ~DirectoryLock() { ::close(fd_); }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

 private:
  int fd_ = -1;
};

// Writes `bytes` as `target` through a locked temporary in `dir`: flushed, then renamed.
void WriteNewFile(const std::string& dir, const std::string& target, std::string_view bytes) {
  fileio::LockedTemporary temporary(dir, kTemporaryPrefix);
  if (temporary.error() != 0) throw FileError(temporary.error(), "cannot create a file in", dir);
  if (const int error = fileio::WriteAll(temporary.fd(), bytes.data(), bytes.size())) {
    throw FileError(error, "cannot write", temporary.path());
  }
  if (::fsync(temporary.fd()) != 0) throw FileError(errno, "cannot flush", temporary.path());
  if (const int error = temporary.RenameTo(target)) throw FileError(error, "cannot rename a file to", target);
}

void SyncOrThrow(const std::string& dir) {
  if (const int error = fileio::SyncDirectory(dir)) throw FileError(error, "cannot flush the directory", dir);
}

// The commit in the directory, or none when there is none or it cannot be read (a save then
// replaces it; nothing of it is kept).
bool ReadCurrentCommit(const std::string& dir, CommitRecord& record) {
  std::string text;
  if (ReadWholeFile(dir + kCommitFileName, kMaxCommitSize, text) != 0) return false;
  try {
    record = DecodeCommit(text, dir + kCommitFileName);
    return true;
  } catch (const CorruptIndex&) {
    return false;
  }
}

bool HasFileOfSize(const std::string& path, std::uint64_t size) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) == size;
}

}  // namespace

void CheckSaveTarget(const std::string& path) {
  CheckPath(path);
  CheckOurs(Inspect(path), path);
}

void SaveIndexDirectory(const std::string& path, const IndexSettings& settings, const CommitPayload& payload) {
  CheckPath(path);
  State state = Inspect(path);
  CheckOurs(state, path);
  if (state == State::kMissing && ::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
    throw FileError(errno, "cannot create the directory", path);
  }
  const std::string dir = Prefix(path);
  DirectoryLock lock(dir);
  // Again under the lock: another process may have filled the directory meanwhile.
  state = Inspect(path);
  CheckOurs(state, path);

  CommitRecord previous;
  const bool has_previous = state == State::kCommitted && ReadCurrentCommit(dir, previous);
  std::map<std::string, const CommitFileEntry*> held;
  if (has_previous) {
    for (const CommitFileEntry& file : previous.files) held.emplace(file.name, &file);
  }

  CommitRecord record;
  record.k1 = settings.k1;
  record.b = settings.b;
  record.analyzer_json = settings.analyzer_json;
  record.engine_json = payload.engine_json;
  bool wrote = false;
  for (const PayloadFile& file : payload.files) {
    const std::string& name = file.name;
    const std::string_view bytes = file.bytes;
    if (!IsDataFileName(name)) throw InvalidArgument("not a valid data file name: '" + name + "'");
    CommitFileEntry entry{name, bytes.size(), Checksum64(bytes.data(), bytes.size())};
    const std::string stored = dir + StoredName(entry);
    const auto it = held.find(name);
    const bool unchanged = it != held.end() && it->second->size == entry.size && it->second->checksum == entry.checksum;
    if (!unchanged || !HasFileOfSize(stored, entry.size)) {
      WriteNewFile(dir, stored, bytes);
      wrote = true;
    }
    record.files.push_back(std::move(entry));
  }
  const std::string text = EncodeCommit(record);
  // The data files' names must be on disk before a commit that names them.
  if (wrote) SyncOrThrow(dir);
  WriteNewFile(dir, dir + kCommitFileName, text);
  SyncOrThrow(dir);

  // Clean-up: keep the files of this commit and of the one it replaced (a load that has just
  // read that one may still open them); remove other data files of ours and stray temporaries.
  std::set<std::string> keep;
  for (const CommitFileEntry& file : record.files) keep.insert(StoredName(file));
  for (const CommitFileEntry& file : previous.files) keep.insert(StoredName(file));
  for (const std::string& name : Entries(path)) {
    if (IsStoredName(name) && keep.count(name) == 0) ::unlink((dir + name).c_str());
  }
  fileio::RemoveStaleTemporaries(dir, kTemporaryPrefix);
  if (state == State::kFirstFormat) {
    for (const std::string& name : FirstFormatFileNames()) ::unlink((dir + name).c_str());
  }
}

LoadedIndexDirectory LoadIndexDirectory(const std::string& path, bool verify) {
  CheckPath(path);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    throw FileError(errno, errno == ENOENT ? "no saved index at" : "cannot open", path);
  }
  if (!S_ISDIR(st.st_mode)) throw FileError(ENOTDIR, "not a directory (a saved index is one):", path);
  const std::string dir = Prefix(path);
  const std::string commit_path = dir + kCommitFileName;
  std::string text;
  for (int attempt = 0; attempt < kLoadAttempts; ++attempt) {
    if (const int error = ReadWholeFile(commit_path, kMaxCommitSize, text)) {
      if (error != ENOENT) throw FileError(error, "cannot read", commit_path);
      if (Inspect(path) == State::kFirstFormat) return LoadFirstFormat(dir, verify);
      throw CorruptIndex(path + " is not a saved lumotext index (it has no " + kCommitFileName + ")");
    }
    const CommitRecord record = DecodeCommit(text, commit_path);
    LoadedIndexDirectory loaded;
    loaded.settings = {record.k1, record.b, record.analyzer_json};
    loaded.payload.engine_json = record.engine_json;
    auto mappings = std::make_shared<MappedFiles>();
    bool vanished = false;
    for (const CommitFileEntry& file : record.files) {
      const std::string file_path = dir + StoredName(file);
      std::string_view bytes;
      if (const int error = mappings->Map(file_path, bytes)) {
        if (error != ENOENT) throw FileError(error, "cannot open", file_path);
        // Removed by a later save? Then its commit is there to read instead.
        std::string now;
        if (ReadWholeFile(commit_path, kMaxCommitSize, now) == 0 && now != text) {
          vanished = true;
          break;
        }
        throw FileError(ENOENT, "a file of the saved index is missing:", file_path);
      }
      if (bytes.size() != file.size) {
        throw CorruptIndex("damaged index: " + file_path + " holds " + std::to_string(bytes.size()) +
                           " bytes, its commit says " + std::to_string(file.size));
      }
      if (verify) {
        if (Checksum64(bytes.data(), bytes.size()) != file.checksum) {
          throw CorruptIndex("damaged index: the checksum of " + file_path + " does not match its commit");
        }
        // Verifying read every page; the index keeps only those its searches touch.
        mappings->ReleasePages(bytes);
      }
      loaded.payload.files.emplace(file.name, bytes);
    }
    if (vanished) continue;
    loaded.payload.owner = std::move(mappings);
    return loaded;
  }
  throw FileError(EAGAIN, "the saved index kept changing while it was read:", path);
}

}  // namespace lumo::index
