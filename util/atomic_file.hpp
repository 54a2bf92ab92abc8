// SPDX-License-Identifier: Apache-2.0
// Files that are written whole or not at all.
//
// The bytes go to a temporary file beside the target, created exclusively
// and never through a link, with every write and the close checked; only a
// complete temporary is renamed over the target. A rename replaces the
// directory entry itself, so a link at the target's name is replaced, not
// written through. Temporaries are named
//
//   .NAME.tmp-HOST-PID-SERIAL[.EXT]
//
// so that a later process can tell the leftovers of a killed one (same host,
// process gone) from those of a run still at work, here or on another host
// sharing the folder.
#pragma once

#include "util/error.hpp"

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace rovelin {

// A file that could not be written; what() is "cannot write \"FILE\": CAUSE".
class FileWriteError : public Error {
public:
  FileWriteError(const std::filesystem::path& target, const std::string& cause)
      : Error("cannot write \"" + target.string() + "\": " + cause), cause(cause) {}
  std::string cause;  // for example "No space left on device"
};

struct AtomicWrite {
  // Flush the file and then its folder to the disk before and after the
  // rename, so that a power cut leaves the old file or the new one.
  bool durable = true;
  // Called with the complete temporary before the rename; an exception it
  // throws cancels the write (the temporary is removed) and propagates.
  std::function<void(const std::filesystem::path& temporary)> verify;
  // Permission bits of a new file (the umask applies); a file being
  // replaced keeps its own.
  unsigned mode = 0666;
};

// Writes `bytes` to `target` as described above. Throws FileWriteError
// naming `target` and the cause; the temporary is removed in every case.
void writeFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                         const AtomicWrite& how = {});

// Writes all of `bytes` to the open descriptor `fd`, retrying short writes
// and interruptions; the errno of the first failure, or 0.
int writeAll(int fd, std::string_view bytes);

// The temporary name writeFileAtomically uses for `target` in this process.
// A program that must write a file itself (an encoder that takes a name)
// writes it under this name, with an extension appended if it needs one,
// and hands it to commitTemporary.
std::filesystem::path temporaryNameFor(const std::filesystem::path& target);

// Writes `bytes` to a new temporary for `target` (temporaryNameFor), flushed
// to the disk when `durable`, and returns its name for commitTemporary, so
// that several files can be made complete first and renamed together. Throws
// FileWriteError naming `target`; nothing is left behind on failure.
std::filesystem::path writeTemporary(const std::filesystem::path& target, std::string_view bytes,
                                     const AtomicWrite& how = {});

// Replaces `target` with the complete file `temporary`, as writeFileAtomically
// does with its own. Throws FileWriteError naming `target` and the cause; the
// temporary is removed in every case.
void commitTemporary(const std::filesystem::path& temporary, const std::filesystem::path& target,
                     const AtomicWrite& how = {});

// Removes the temporaries in `directory` that a process of this host left
// behind and that no live process owns: its PID is gone, no process holds a
// lock on it (lockTemporary), and it is older than this process. Each folder
// is swept once per process; failures are ignored (another run may sweep at
// the same time).
void removeStaleTemporaries(const std::filesystem::path& directory);

// Marks a temporary that another program writes (an encoder) as at work, for
// as long as the returned descriptor is open; -1 when it cannot be opened.
int lockTemporary(const std::filesystem::path& temporary);

}  // namespace rovelin
