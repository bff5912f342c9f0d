#pragma once

#include <functional>
#include <ostream>
#include <string>

namespace lumo::typing::text {

// Writes a file whose content `produce` streams, so that a failure never passes for success
// and never costs the file that was there before.
//
// A regular file (after following symbolic links) or a path that does not exist yet is
// written to a fresh temporary file in the same directory, flushed to disk and renamed over
// the target; on any failure the temporary file is removed and the target is untouched. A
// replaced file keeps its permission bits, and a file the caller may not write is refused as
// opening it would be. An existing target that is not a regular file (a
// device such as /dev/null, a FIFO) is written in place.
//
// Every failure throws std::runtime_error with a message beginning "Failed to dump: ": the
// target or its temporary file cannot be created ("Unable to open file"), or writing, flushing,
// closing or renaming fails. An exception thrown by `produce` itself propagates after clean-up,
// unless the file's own stream had failed, which is then what is reported.
void WriteModelFile(const std::string& path, const std::function<void(std::ostream&)>& produce);

}  // namespace lumo::typing::text
