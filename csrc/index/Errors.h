#pragma once

// The kinds of failure the index core reports. Each kind becomes one Python exception, mapped in
// one place (native_bindings/errors.cpp), so Python code never has to read a message to know
// what went wrong.
#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace lumo::index {

// A value outside what the operation takes (Python: ValueError).
class InvalidArgument : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Stored data that is damaged, or a directory that is not ours (Python: ValueError).
class CorruptIndex : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An operating-system failure on a path (Python: OSError with the errno, so a missing file is
// FileNotFoundError). `what()` is the whole message, `reason()` the part before the path.
class FileError : public std::runtime_error {
 public:
  FileError(int error_code, const std::string& reason, const std::string& path)
      : std::runtime_error(reason + " " + path), error_code_(error_code), reason_(reason), path_(path) {}
  int error_code() const { return error_code_; }
  const std::string& reason() const { return reason_; }
  const std::string& path() const { return path_; }

 private:
  int error_code_;
  std::string reason_;
  std::string path_;
};

// A document number that is not a live document (Python: KeyError carrying the number).
class UnknownDocument : public std::out_of_range {
 public:
  explicit UnknownDocument(std::uint64_t doc)
      : std::out_of_range("document " + std::to_string(doc) + " is not in the index"), doc_(doc) {}
  std::uint64_t doc() const { return doc_; }

 private:
  std::uint64_t doc_;
};

// A call that the object's state does not allow now, such as changing an index from inside its
// own add (Python: RuntimeError).
class StateError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// A long call stopped early because the caller asked it to (Python: KeyboardInterrupt, after the
// binding has let the interpreter run its signal handlers).
class Interrupted : public std::runtime_error {
 public:
  Interrupted() : std::runtime_error("interrupted") {}
};

// Long loops call this every few milliseconds of work; `cancel` may be null (never cancelled).
inline void CheckCancel(const std::atomic<bool>* cancel) {
  if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) throw Interrupted();
}

}  // namespace lumo::index
