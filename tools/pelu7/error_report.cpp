#include "error_report.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <cerrno>

#include <iostream>

#include "vorn_dal_pelu7.h"

namespace pelu7tool {
namespace {

constexpr int kMaxTriesLeft = 14;

bool isTriesLeft(int code) { return code >= 1 && code <= kMaxTriesLeft; }

// GBK text to UTF-8; bytes that do not convert are shown as '?'.
#ifdef _WIN32
std::string gbkToUtf8(const std::string& gbk) {
  constexpr UINT kGbk = 936;
  const int wideLength = MultiByteToWideChar(kGbk, 0, gbk.data(), static_cast<int>(gbk.size()), nullptr, 0);
  if (wideLength <= 0) return gbk;
  std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
  MultiByteToWideChar(kGbk, 0, gbk.data(), static_cast<int>(gbk.size()), wide.data(), wideLength);
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, out.data(), length, nullptr, nullptr);
  return out;
}
#else
std::string gbkToUtf8(const std::string& gbk) {
  iconv_t converter = iconv_open("UTF-8", "GBK");
  if (converter == reinterpret_cast<iconv_t>(-1)) return gbk;
  std::string out;
  char buffer[256];
  char* in = const_cast<char*>(gbk.data());
  std::size_t inLeft = gbk.size();
  while (inLeft > 0) {
    char* outPtr = buffer;
    std::size_t outLeft = sizeof buffer;
    const std::size_t result = iconv(converter, &in, &inLeft, &outPtr, &outLeft);
    out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
    if (result == static_cast<std::size_t>(-1) && errno != E2BIG) {
      out.push_back('?');
      ++in;
      --inLeft;
    }
  }
  iconv_close(converter);
  return out;
}
#endif

}  // namespace

std::string dalMessage(int code) {
  char gbk[VORN_DAL_ERRMSG_SIZE + 2] = {};
  VORN_DAL_GetErrMsg(code, gbk);
  gbk[sizeof gbk - 1] = '\0';
  return gbkToUtf8(gbk);
}

ExitStatus exitStatusFor(int code) {
  if (isTriesLeft(code)) return kExitWrongPin;
  switch (code) {
    case VORN_DAL_ERR_USER_PIN_LOCKED:
    case VORN_DAL_ERR_SUPER_PIN_LOCKED:
      return kExitPinBlocked;
    case VORN_DAL_ERR_OPEN_DEVICE:
      return kExitNoToken;
    default:
      return kExitFailure;
  }
}

ExitStatus reportDalError(const DalError& error) {
  const int code = error.code();
  std::cerr << "pelu7: " << error.what() << ": ";
  if (isTriesLeft(code)) {
    std::cerr << "wrong PIN, " << code << (code == 1 ? " try" : " tries") << " left (" << dalMessage(code) << ")\n";
  } else if (exitStatusFor(code) == kExitPinBlocked) {
    std::cerr << "PIN blocked: error " << code << ": " << dalMessage(code) << "\n";
  } else {
    std::cerr << "error " << code << ": " << dalMessage(code) << "\n";
  }
  return exitStatusFor(code);
}

}  // namespace pelu7tool
