// Files that are only ever appended to, by several threads and processes at
// once: the diagnostic log and the APDU trace. Opening and writing allocate
// nothing (fixed buffers), so that logging works when memory is short.
#pragma once

#include <cstddef>

#include "platform/file.h"

namespace platform {

struct AppendOptions {
  // When set, the file is `path` inside this folder, written only while the
  // folder exists as a real folder (never created, never reached through a
  // symbolic link or reparse point).
  const char* folder = nullptr;
  // POSIX: a file that is created gets mode 0600, else 0644.
  bool ownerOnly = true;
  // Refuses a file with more than one name (a hard link to some other file).
  bool singleLink = false;
  // When set, it is told whether the folder was not there at all (so that a
  // caller may remember that for a while instead of looking again).
  bool* folderMissing = nullptr;
};

// Opens `path` (UTF-8) for appending, creating it when missing: never through
// a symbolic link or reparse point, never blocking on what is found there (a
// FIFO gets no line), and only a regular file. No file when any of that fails.
//
// POSIX: O_APPEND, O_NOFOLLOW, O_NONBLOCK. Windows: FILE_APPEND_DATA (each
// write lands whole at the end of the file), the path opened through the wide
// API so that any name Windows has works.
File openAppendOnly(const char* path, const AppendOptions& options = {}) noexcept;

// Writes all `size` bytes at the end of the file: a single write unless the
// system takes less, then the rest. False when a write fails or takes nothing.
bool appendAll(const File& file, const char* data, std::size_t size) noexcept;

}  // namespace platform
