// The environment read through GetEnvironmentVariableW and handed on in
// UTF-8: getenv would give the value in the ANSI code page, where a letter
// outside that page is already lost and one inside it is not UTF-8.
#include "platform/environment.h"

#include <windows.h>

namespace platform {
namespace {

// An unpaired surrogate, which has no UTF-8 form, becomes U+FFFD: the value
// stays set and names no file, rather than seeming unset.
std::string utf8Of(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string text(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), size, nullptr, nullptr);
  return text;
}

}  // namespace

std::optional<std::string> environmentVariable(const char* name) {
  // Variable names are ASCII.
  std::wstring wideName;
  for (const char* c = name; *c != '\0'; ++c) wideName.push_back(static_cast<unsigned char>(*c));
  // The size asked for includes the terminating zero; the value may change
  // between the two calls, so ask again while it grows.
  std::wstring value(64, L'\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD got = GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (got == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    if (got < value.size()) {
      value.resize(got);
      return utf8Of(value);
    }
    value.assign(got, L'\0');
  }
}

}  // namespace platform
