#include "platform/log_file.h"

#include <cstdio>
#include <cstring>

#include "native_file.h"

namespace platform {

const char kLogFolder[] = "c:\\dal";
const char kLogFilePath[] = "c:\\dal\\dal_pelu7.txt";

namespace {

char folderOverride[MAX_PATH];

bool isRealFolder(const char* folder) {
  const DWORD attributes = GetFileAttributesA(folder);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Opens the log file for appending, only when its folder exists (it is never
// created) and never through a reparse point. Works on fixed buffers:
// logging allocates nothing.
File openLogFile(const char* path) {
  char folder[MAX_PATH];
  char file[MAX_PATH];
  if (folderOverride[0] != '\0') {
    std::snprintf(folder, sizeof folder, "%s", folderOverride);
    std::snprintf(file, sizeof file, "%s\\%s", folderOverride, kLogFileName);
  } else {
    const char* slash = std::strrchr(path, '\\');
    if (slash == nullptr || static_cast<std::size_t>(slash - path) >= sizeof folder) return {};
    std::memcpy(folder, path, static_cast<std::size_t>(slash - path));
    folder[slash - path] = '\0';
    std::snprintf(file, sizeof file, "%s", path);
  }
  if (!isRealFolder(folder)) return {};
  // FILE_APPEND_DATA alone: every write lands at the end of the file in one
  // piece, whoever else appends.
  const HANDLE handle = CreateFileA(file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {};
  File opened(win32::toFileHandle(handle));
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
      info.nNumberOfLinks != 1) {
    return {};
  }
  return opened;
}

}  // namespace

void appendLogLine(const char* path, const char* line, std::size_t length) noexcept {
  if (path == nullptr || length == 0) return;
  const File file = openLogFile(path);
  if (!file) return;
  // Text mode: each "\n" is written as "\r\n". A line fits the buffer whole
  // and goes out in one write; a longer one is written in pieces.
  char text[8192];
  std::size_t used = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (used + 2 > sizeof text) {
      DWORD put = 0;
      WriteFile(win32::handleOf(file), text, static_cast<DWORD>(used), &put, nullptr);
      used = 0;
    }
    if (line[i] == '\n') text[used++] = '\r';
    text[used++] = line[i];
  }
  DWORD put = 0;
  WriteFile(win32::handleOf(file), text, static_cast<DWORD>(used), &put, nullptr);
}

namespace testing {
void setLogFolder(const std::string& folder) {
  std::snprintf(folderOverride, sizeof folderOverride, "%s", folder.c_str());
}
}  // namespace testing

}  // namespace platform
