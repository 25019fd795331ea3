#include "platform/file_mapping.h"

#include <atomic>
#include <cstring>

#include "native_file.h"

namespace platform {

using win32::handleOf;
using win32::systemError;
using win32::toFileHandle;
using win32::widePath;

namespace {

// The user's temporary folder, with its trailing separator.
std::wstring folder() {
  wchar_t path[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, path);
  return length == 0 || length > MAX_PATH ? std::wstring(L".\\") : std::wstring(path, length);
}

std::string narrow(const std::wstring& wide) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) {
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), out.data(), length, nullptr, nullptr);
  }
  return out;
}

}  // namespace

FileError SharedMapping::open(const std::string& name, std::size_t size, bool& created) {
  close();
  // Not shared for deleting: the file stays while any process maps it.
  const HANDLE handle = CreateFileW((folder() + widePath(name)).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return systemError();
  created = GetLastError() != ERROR_ALREADY_EXISTS;
  File file(toFileHandle(handle));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return systemError();
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return FileError{FileProblem::kSymbolicLink, {}, 0};
  const HANDLE mapping = CreateFileMappingW(handle, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(size), nullptr);
  if (mapping == nullptr) return systemError();
  void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size);
  if (view == nullptr) {
    const FileError error = systemError();
    CloseHandle(mapping);
    return error;
  }
  file_ = std::move(file);
  mapping_ = reinterpret_cast<std::intptr_t>(mapping);
  data_ = static_cast<std::uint8_t*>(view);
  size_ = size;
  return {};
}

void SharedMapping::close() {
  if (data_ != nullptr) UnmapViewOfFile(data_);
  if (mapping_ != -1) CloseHandle(reinterpret_cast<HANDLE>(mapping_));
  data_ = nullptr;
  mapping_ = -1;
  size_ = 0;
  file_.reset();
}

// A mapped file cannot be shortened on Windows: the view is always whole.
FileError SharedMapping::readAt(std::size_t offset, void* out, std::size_t length) const {
  if (data_ == nullptr || offset > size_ || length > size_ - offset) return FileError{FileProblem::kSystem, "out of range", 0};
  if (length == sizeof(std::uint32_t) && offset % sizeof(std::uint32_t) == 0) {
    const std::uint32_t value =
        std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(data_ + offset)).load(std::memory_order_acquire);
    std::memcpy(out, &value, sizeof value);
    return {};
  }
  std::memcpy(out, data_ + offset, length);
  return {};
}

FileError SharedMapping::writeAt(std::size_t offset, const void* bytes, std::size_t length) const {
  if (data_ == nullptr || offset > size_ || length > size_ - offset) return FileError{FileProblem::kSystem, "out of range", 0};
  if (length == sizeof(std::uint32_t) && offset % sizeof(std::uint32_t) == 0) {
    std::uint32_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(data_ + offset)).store(value, std::memory_order_release);
    return {};
  }
  std::memcpy(data_ + offset, bytes, length);
  return {};
}

bool SharedMapping::shortened() const { return false; }

FileError SharedMapping::restoreSize() const { return {}; }

// Nobody can remove the file while it is open here.
bool SharedMapping::stillNamed() const { return true; }

std::string sharedMappingPath(const std::string& name) { return narrow(folder()) + name; }

std::vector<std::string> sharedMappingNames(const std::string& prefix) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW((folder() + widePath(prefix) + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
      names.push_back(narrow(found.cFileName));
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

void removeSharedMapping(const std::string& name) { DeleteFileW((folder() + widePath(name)).c_str()); }

}  // namespace platform
