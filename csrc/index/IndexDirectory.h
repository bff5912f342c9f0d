#pragma once

// A saved index on disk: a directory of immutable data files and one commit file that names
// them (see CommitFile.h), the only file ever replaced.
//
//   lumotext.commit        the commit file
//   NAME.CHECKSUM          each data file of the engine's payload, under its name and the 16
//                          hex digits of its checksum: a file's name changes with its content,
//                          so no file is ever rewritten
//   .lumotext.lock         taken (flock) by a save, so two savers to one directory take turns
//   .lumotext-tmp-DIGITS   a file being written; renamed into place when complete
//
// Guarantees:
// - a load reads the commit file once and maps the files it names: a consistent snapshot, even
//   beside a running save in another thread or process (a save keeps the files of the commit
//   it replaces, and a load whose files vanished under a later save reads the new commit);
// - a save is atomic: a kill at any instant leaves the old or the new commit loadable; data
//   files the new and the replaced commit do not name, and temporaries of killed saves, are
//   removed by the save after them;
// - a directory is ours only when its commit file says our format; a path that does not exist,
//   an empty directory, or one holding only the leftovers of an interrupted first save (lock,
//   temporaries, data files) is used; anything else is refused and left untouched.
// - a directory saved by the first format (its manifest.json and eight array files, nothing
//   else) loads, read and converted (see FirstFormat.h); a save into it replaces it with this
//   format.
#include <string>

#include "index/CommitPayload.h"

namespace lumo::index {

inline constexpr const char* kCommitFileName = "lumotext.commit";
inline constexpr const char* kLockFileName = ".lumotext.lock";
inline constexpr const char* kTemporaryPrefix = ".lumotext-tmp-";

// What a saved index holds besides the engine's payload.
struct IndexSettings {
  double k1 = 0;
  double b = 0;
  std::string analyzer_json;  // passed through unchanged
};

struct LoadedIndexDirectory {
  IndexSettings settings;
  OpenedPayload payload;
  // Read from a first-format directory: the payload holds its eight arrays under their names
  // (IndexFiles.h) and engine_json its counts, as an InvertedIndex payload does.
  bool first_format = false;
};

// Writes `payload` under `settings` as the new commit of the directory `path`. Refuses (FileError
// with EEXIST, nothing touched) a path that is not ours (see above); FileError for failures of
// the file system, InvalidArgument for a payload file name that CommitFile.h does not take.
void SaveIndexDirectory(const std::string& path, const IndexSettings& settings, const CommitPayload& payload);

// The refusal SaveIndexDirectory would raise for `path`, without changing anything.
void CheckSaveTarget(const std::string& path);

// Loads the commit at `path`. Sizes and structure are always checked, every file's checksum too
// with `verify`. FileError for a missing path (ENOENT) or a file (ENOTDIR) or another system
// failure; CorruptIndex for a directory that is not a saved index or is damaged.
LoadedIndexDirectory LoadIndexDirectory(const std::string& path, bool verify);

}  // namespace lumo::index
