// Windows side of platform::File: its handle, the error of the last failed
// call as a FileError, and UTF-8 paths widened for the W functions.
#pragma once

#include <windows.h>

#include <string>

#include "platform/file.h"

namespace platform::win32 {

inline HANDLE handleOf(const File& file) { return reinterpret_cast<HANDLE>(file.handle()); }

inline std::intptr_t toFileHandle(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

// The system's text for `error` (GetLastError() by default), without the
// trailing line break.
std::string errorText(DWORD error);

inline FileError systemError(DWORD error = GetLastError()) {
  return FileError{FileProblem::kSystem, errorText(error), 0};
}

// A UTF-8 path as UTF-16; empty when it is not valid UTF-8.
std::wstring widePath(const std::string& path);

}  // namespace platform::win32
