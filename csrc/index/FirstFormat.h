#pragma once

// The first saved-index format, read so that indexes saved by earlier releases still load:
// manifest.json (format "lumotext-index", version 1: k1, b, the analyzer settings, the counts
// and each file's size and checksum) beside the eight flat arrays of IndexFiles.h. Nothing
// writes this format any more; a save into such a directory replaces it with commit files.
#include <string>
#include <vector>

#include "index/IndexDirectory.h"

namespace lumo::index {

inline constexpr const char* kFirstFormatManifest = "manifest.json";

// Whether the directory `dir` (a path prefix ending in '/') holds a first-format manifest.
bool IsFirstFormatDirectory(const std::string& dir);

// Reads a first-format index: its manifest's k1, b and analyzer settings (the manifest's own
// text of them), and its arrays mapped, their sizes checked and, with `verify`, checksums.
// engine_json is {"documents":D,"live_documents":L,"terms":T} from the manifest. CorruptIndex
// for a damaged manifest, FileError for a missing file.
LoadedIndexDirectory LoadFirstFormat(const std::string& dir, bool verify);

// The manifest and the array files: what a save replacing the format removes.
std::vector<std::string> FirstFormatFileNames();

}  // namespace lumo::index
