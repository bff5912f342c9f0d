#pragma once

// What the index engine hands to the saved-index format and gets back from it. The format
// (directory, commit file, checksums, atomic replacement) knows nothing of postings; the engine
// knows nothing of directories. A file of a payload is named by the engine and, once written
// under that name, never changes: a name that the directory's current commit already holds with
// the same size and checksum is not written again.
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumo::index {

// One file of a payload: a view of its bytes, valid while `owner` lives. The engine's files are
// views of what it already holds (built in memory or mapped from an earlier save), so saving a
// loaded index copies none of them into memory.
struct PayloadFile {
  PayloadFile(std::string name, std::string_view bytes, std::shared_ptr<const void> owner)
      : name(std::move(name)), bytes(bytes), owner(std::move(owner)) {}
  PayloadFile(std::string name, std::shared_ptr<const std::string> held)
      : name(std::move(name)), bytes(*held), owner(std::move(held)) {}

  std::string name;
  std::string_view bytes;
  std::shared_ptr<const void> owner;
};

// Taken under the engine's lock, so it is one consistent state even beside a writer thread.
struct CommitPayload {
  std::string engine_json;  // the engine's own description (segments, counts): one JSON object
  std::vector<PayloadFile> files;
};

// A loaded commit: every file it names, mapped read-only; each view starts 8-byte aligned and
// stays valid while `owner` lives.
struct OpenedPayload {
  std::string engine_json;
  std::map<std::string, std::string_view, std::less<>> files;
  std::shared_ptr<const void> owner;
};

}  // namespace lumo::index
