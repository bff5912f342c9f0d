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
// the target, and the directory is flushed too; on any failure the temporary file is removed
// and the target is untouched. Temporary names are random and the file is locked while it is
// written, so a later successful dump removes the ones that killed processes left behind. A
// replaced file keeps its permission bits, and a file the caller may not write is refused as
// opening it would be. An existing target that is not a regular file (a device such as
// /dev/null, a FIFO) is written in place.
//
// Symbolic links are followed as the kernel follows them with fs.protected_symlinks: a link in
// a sticky world-writable directory (such as /tmp) is followed only when it belongs to the
// caller or to the directory's owner; otherwise the dump fails naming the link.
//
// Every failure throws std::runtime_error with a message beginning "Failed to dump: ": the
// target or its temporary file cannot be created ("Unable to open file"), a link may not be
// followed, or writing, flushing, renaming or flushing the directory fails. An exception
// thrown by `produce` itself propagates after clean-up, unless the file's own stream had
// failed, which is then what is reported.
void WriteModelFile(const std::string& path, const std::function<void(std::ostream&)>& produce);

}  // namespace lumo::typing::text
