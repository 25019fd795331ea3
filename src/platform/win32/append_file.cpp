#include "platform/append_file.h"

#include <cstdio>

#include "native_file.h"

namespace platform {

namespace {

bool isRealFolder(const wchar_t* folder) {
  const DWORD attributes = GetFileAttributesW(folder);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// UTF-8 to UTF-16 into a fixed buffer; false when it is not valid UTF-8 or
// does not fit.
bool widen(const char* text, wchar_t* out, int room) {
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out, room) > 0;
}

}  // namespace

File openAppendOnly(const char* path, const AppendOptions& options) noexcept {
  if (path == nullptr) return {};
  wchar_t file[MAX_PATH];
  if (options.folder != nullptr) {
    char joined[MAX_PATH];
    wchar_t folder[MAX_PATH];
    const int length = std::snprintf(joined, sizeof joined, "%s\\%s", options.folder, path);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof joined) return {};
    if (!widen(options.folder, folder, MAX_PATH)) return {};
    if (options.folderMissing != nullptr) {
      const DWORD error = GetFileAttributesW(folder) == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
      *options.folderMissing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    if (!isRealFolder(folder)) return {};
    if (!widen(joined, file, MAX_PATH)) return {};
  } else if (!widen(path, file, MAX_PATH)) {
    return {};
  }
  // FILE_APPEND_DATA alone: every write lands at the end of the file in one
  // piece, whoever else appends.
  const HANDLE handle = CreateFileW(file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {};
  File opened(win32::toFileHandle(handle));
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
    return {};
  }
  if (options.singleLink && info.nNumberOfLinks != 1) return {};
  return opened;
}

bool appendAll(const File& file, const char* data, std::size_t size) noexcept {
  while (size > 0) {
    DWORD put = 0;
    if (!WriteFile(win32::handleOf(file), data, static_cast<DWORD>(size), &put, nullptr) || put == 0) return false;
    data += put;
    size -= put;
  }
  return true;
}

}  // namespace platform
