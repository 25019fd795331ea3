// Files that hold state across processes: opened without following links or
// blocking, checked to be regular files of the caller, locked exclusively,
// and replaced atomically (a new file beside the old one, flushed, renamed
// over it, the folder flushed).
//
// POSIX: open with O_NOFOLLOW | O_NONBLOCK, flock, mkostemp, fsync, rename and
// fsync of the folder. Windows: CreateFileW, LockFileEx, FlushFileBuffers and
// MoveFileExW(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH).
//
// Every operation reports what went wrong as a FileError; the caller words
// its own messages.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/file.h"

namespace platform {

// Opens an existing file for reading; kNotFound when there is none.
FileError openForReading(const std::string& path, File& file);

// Opens a lock file, creating it (readable and writable by the caller only)
// only where nothing is; an existing file is opened as it is, for reading
// only, since taking a lock needs no write access (a token on a read-only
// medium can still be locked and read). kReadOnly when nothing is there and
// the medium is read-only.
FileError openLockFile(const std::string& path, File& file);

// Checks that an open file is a regular file of the caller (or of the
// administrator), and tells its size. kSystem when it cannot be examined.
FileError examine(const File& file, std::uint64_t& size);

// Reads up to `size` bytes, stopping early only at the end of the file.
FileError readUpTo(const File& file, std::uint8_t* data, std::size_t size, std::size_t& got);

// Takes an exclusive lock on the file when nobody holds one; kBusy at once
// when another holder has it. The lock goes with the file's closing, and
// with the death of its process.
FileError tryLockExclusive(const File& file);
void unlock(const File& file);

// What tells one version of a file from the next without reading it: the
// file's identity on its volume, its size and its times.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // nanoseconds
  std::int64_t changed = 0;   // nanoseconds
  bool operator==(const FileIdentity&) const = default;
};

// The identity of what is at `path` itself (a link is not followed);
// kNotFound when nothing is there.
FileError identify(const std::string& path, FileIdentity& identity);
// The identity of an open file.
FileError identify(const File& file, FileIdentity& identity);

// Removes the temporaries that replacements of `target` left behind when
// their writer died before putting them in place: only regular files of the
// caller, never one that a live writer still holds. Tells how many it
// removed.
FileError removeStaleReplacements(const std::string& target, int& removed);

// A new file that is to replace `target`: made in the same folder under a
// name nobody could have chosen beforehand (TARGET.tmp.XXXXXX), readable and
// writable by the caller only, and held by its writer so that nobody takes
// it for a leftover. Removed when destroyed unless it has replaced the
// target.
class Replacement {
 public:
  explicit Replacement(std::string target) : target_(std::move(target)) {}
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;
  ~Replacement();

  // Makes the new file; temporaryPath() names it from then on.
  FileError create();
  // Restricts it to its owner whatever the creation mask.
  FileError restrictToOwner();
  FileError write(const std::uint8_t* data, std::size_t size);
  // Makes what was written durable.
  FileError flush();
  FileError close() { return file_.close(); }
  // Puts it in the target's place in one step.
  FileError replaceTarget();
  const std::string& temporaryPath() const { return temporary_; }

 private:
  std::string target_;
  std::string temporary_;
  File file_;
  bool replaced_ = false;
};

// Makes a replacement of `path` durable in its folder.
FileError syncFolderOf(const std::string& path);

}  // namespace platform
