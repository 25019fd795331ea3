#include "platform/file.h"

#include "native_file.h"

namespace platform {

namespace win32 {

std::string errorText(DWORD error) {
  char text[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                      0, text, sizeof text, nullptr);
  std::string message(text, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  if (message.empty()) message = "error " + std::to_string(error);
  return message;
}

std::wstring widePath(const std::string& path) {
  if (path.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                                       nullptr, 0);
  if (size <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), wide.data(), size);
  return wide;
}

}  // namespace win32

File& File::operator=(File&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void File::reset(std::intptr_t handle) noexcept {
  if (handle_ != kNoHandle) CloseHandle(win32::handleOf(*this));
  handle_ = handle;
}

FileError File::close() {
  const HANDLE handle = reinterpret_cast<HANDLE>(release());
  if (!CloseHandle(handle)) return win32::systemError();
  return {};
}

}  // namespace platform
