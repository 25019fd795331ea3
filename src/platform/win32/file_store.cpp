#include "platform/file_store.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "native_file.h"

namespace platform {

using win32::handleOf;
using win32::systemError;
using win32::toFileHandle;
using win32::widePath;

namespace {

// Every open lets others read, write and delete: the store replaces a token
// file with MoveFileExW while readers of other processes may hold it open,
// and a handle without FILE_SHARE_DELETE would refuse that.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

FileError openError(DWORD error) {
  if (error == ERROR_CANT_ACCESS_FILE || error == ERROR_CANT_RESOLVE_FILENAME) {
    return FileError{FileProblem::kSymbolicLink, {}, 0};
  }
  return systemError(error);
}

// Opens `path` itself, never what a reparse point (a symbolic link, a
// junction) at the path leads to; examine() then refuses the reparse point.
// The error of the open, 0 when `file` holds the opened file.
DWORD openPath(const std::string& path, DWORD access, DWORD disposition, File& file) {
  const std::wstring wide = widePath(path);
  if (wide.empty()) return ERROR_INVALID_NAME;
  const HANDLE handle = CreateFileW(wide.c_str(), access, kShareAll, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return GetLastError();
  file.reset(toFileHandle(handle));
  return 0;
}

}  // namespace

FileError openForReading(const std::string& path, File& file) {
  const DWORD error = openPath(path, GENERIC_READ, OPEN_EXISTING, file);
  if (error == 0) return {};
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return FileError{FileProblem::kNotFound, {}, 0};
  return openError(error);
}

FileError openLockFile(const std::string& path, File& file) {
  // OPEN_ALWAYS opens what is there as it is and creates only where nothing is.
  const DWORD error = openPath(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, file);
  return error == 0 ? FileError{} : openError(error);
}

FileError examine(const File& file, std::uint64_t& size) {
  // Windows files carry access lists rather than one owning user; the token
  // files live in the caller's own folders, so no owner check is made here.
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handleOf(file), &info)) return systemError();
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return FileError{FileProblem::kSymbolicLink, {}, 0};
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return FileError{FileProblem::kNotRegular, {}, 0};
  if (GetFileType(handleOf(file)) != FILE_TYPE_DISK) return FileError{FileProblem::kNotRegular, {}, 0};
  size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return {};
}

FileError readUpTo(const File& file, std::uint8_t* data, std::size_t size, std::size_t& got) {
  got = 0;
  while (got < size) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size - got, 1u << 30));
    DWORD n = 0;
    if (!ReadFile(handleOf(file), data + got, want, &n, nullptr)) return systemError();
    if (n == 0) break;
    got += n;
  }
  return {};
}

FileError tryLockExclusive(const File& file) {
  // The lock covers the first byte only: every process locks the same
  // range, which is all that exclusion needs.
  OVERLAPPED at{};
  if (LockFileEx(handleOf(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return {};
  const DWORD error = GetLastError();
  if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return FileError{FileProblem::kBusy, {}, 0};
  return systemError(error);
}

void unlock(const File& file) {
  OVERLAPPED at{};
  UnlockFileEx(handleOf(file), 0, 1, 0, &at);
}

namespace {

std::int64_t nanosecondsOf(const FILETIME& time) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) * 100;
}

}  // namespace

FileError identify(const File& file, FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handleOf(file), &info)) return systemError();
  identity = FileIdentity{info.dwVolumeSerialNumber,
                          (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
                          (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow,
                          nanosecondsOf(info.ftLastWriteTime), nanosecondsOf(info.ftCreationTime)};
  return {};
}

FileError identify(const std::string& path, FileIdentity& identity) {
  File file;
  const DWORD error = openPath(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, file);
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return FileError{FileProblem::kNotFound, {}, 0};
  if (error != 0) return systemError(error);
  return identify(file, identity);
}

FileError removeStaleReplacements(const std::string& target, int& removed) {
  // A writer opens its temporary without sharing reading or writing, so an
  // open for both fails while it is alive; one that opens is a leftover.
  removed = 0;
  const std::wstring pattern = widePath(target + ".tmp.*");
  const std::wstring::size_type slash = pattern.find_last_of(L"\\/");
  const std::wstring folder = slash == std::wstring::npos ? std::wstring() : pattern.substr(0, slash + 1);
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return {};
  do {
    if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    const HANDLE leftover = CreateFileW((folder + found.cFileName).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                                        nullptr, OPEN_EXISTING,
                                        FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (leftover == INVALID_HANDLE_VALUE) continue;
    SetEndOfFile(leftover);
    CloseHandle(leftover);
    ++removed;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return {};
}

Replacement::~Replacement() {
  if (!temporary_.empty() && !replaced_) {
    file_.reset();
    DeleteFileW(widePath(temporary_).c_str());
  }
}

FileError Replacement::create() {
  // CREATE_NEW under a random name: a file someone put in the folder is
  // never written to nor moved over the target.
  for (int attempt = 0; attempt < 8; ++attempt) {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    char suffix[40];
    std::snprintf(suffix, sizeof suffix, ".tmp.%08lx%08lx", GetCurrentProcessId(),
                  static_cast<unsigned long>(now.QuadPart ^ (now.QuadPart >> 32) ^ attempt));
    const std::string candidate = target_ + suffix;
    const HANDLE handle = CreateFileW(widePath(candidate).c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      file_.reset(toFileHandle(handle));
      temporary_ = candidate;
      return {};
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return systemError();
  }
  return systemError(ERROR_FILE_EXISTS);
}

// A new file inherits the access list of its folder, the caller's own.
FileError Replacement::restrictToOwner() { return {}; }

FileError Replacement::write(const std::uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
    DWORD put = 0;
    if (!WriteFile(handleOf(file_), data + done, want, &put, nullptr)) return systemError();
    done += put;
  }
  return {};
}

FileError Replacement::flush() { return FlushFileBuffers(handleOf(file_)) ? FileError{} : systemError(); }

FileError Replacement::replaceTarget() {
  // MOVEFILE_WRITE_THROUGH returns only once the move is on the disk.
  if (!MoveFileExW(widePath(temporary_).c_str(), widePath(target_).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return systemError();
  }
  replaced_ = true;
  return {};
}

// The write-through move has already made the folder's new entry durable.
FileError syncFolderOf(const std::string&) { return {}; }

}  // namespace platform
