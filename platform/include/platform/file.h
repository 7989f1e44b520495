// Whole files: reading one, and replacing one so that it is never seen half written.
// A replacement writes a temporary file beside the target, flushes it to the disk and renames it
// over the target, so a crash, a full disk or a refused write leaves the old file or the new
// one, never a truncated or empty one. Paths are the system's own (UTF-8 here, converted to the
// wide form on Windows, where the rename is ReplaceFile / MoveFileEx).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

enum class FileRead {
  kRead,     // `bytes` holds the whole file
  kMissing,  // nothing at the path (nor can there be: a folder on the way is missing or a file)
  kFailed,   // something is there but could not be read; `error` says why
};

// Reads the whole file at `path` into `bytes`.
FileRead ReadWholeFile(const std::string& path, std::string& bytes, std::string& error);

enum class BoundedRead {
  kRead,        // `bytes` holds the whole file
  kMissing,     // nothing at the path
  kNotAFile,    // a folder, a pipe, a device or a socket; `error` says which
  kTooLarge,    // more than `max_bytes`; `size` holds what the file has (or had when it grew)
  kFailed,      // could not be opened or read; `error` says why
};

// Reads a file the user chose, which may be anything: only a regular file is read, its size is
// checked before a byte is read, and the read stops past `max_bytes` whatever the file grows to
// meanwhile, so neither a huge file nor an endless one (/dev/zero) nor a pipe with no writer
// can exhaust memory or block the caller. `size` gets the file's size when it is known.
BoundedRead ReadFileUpTo(const std::string& path, std::uint64_t max_bytes, std::string& bytes, std::string& error,
                         std::uint64_t& size);

// Replaces the file at `path` with `bytes`, or creates it. The new file keeps the old one's
// permissions; a symbolic link is followed, so the link stays and its target is replaced.
// On failure: false, `error` names the step and the system's reason, the old file is as it
// was and no temporary file is left behind.
bool ReplaceFileAtomically(const std::string& path, std::string_view bytes, std::string& error);

// The steps of a replacement, for fault injection.
enum class ReplaceStep { kNone, kCreate, kWrite, kSync, kRename };

// Makes the next ReplaceFileAtomically in this process fail at `step` as if the disk were full
// there, taking every clean-up a real failure takes (kNone cancels). Lets tests, which run with
// rights no folder refuses, check what a failed save leaves behind.
void FailNextReplaceAt(ReplaceStep step);

}  // namespace platform
