#include "apdu_trace.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/environment.h"

namespace tkrdr {
namespace {

constexpr const char* kTraceVariable = "PELU7_APDU_TRACE";
constexpr const char* kSecretsVariable = "PELU7_APDU_TRACE_SECRETS";
constexpr char kHexDigits[] = "0123456789ABCDEF";

void appendHex(std::string& out, std::uint8_t byte) {
  out.push_back(kHexDigits[byte >> 4]);
  out.push_back(kHexDigits[byte & 0x0F]);
}

// Opens the trace file for appending: created 0600, no symbolic link, and
// O_NONBLOCK so that a FIFO planted at the path cannot stall the open.
#ifdef _WIN32
// Windows: appended through FILE_APPEND_DATA (each write lands whole at the
// end), never through a reparse point, only into a disk file. The UTF-8 path
// is opened through the wide API, so that any name Windows has works.
int openTraceFile(const char* path) {
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
  if (length <= 0) return -1;
  std::wstring widePath(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, widePath.data(), length);
  const HANDLE handle = CreateFileW(widePath.c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  platform::File file(reinterpret_cast<std::intptr_t>(handle));
  if (!file || GetFileType(handle) != FILE_TYPE_DISK) return -1;
  return static_cast<int>(file.release());
}

bool writeSome(const platform::File& file, const char* data, std::size_t size, std::size_t& put) {
  DWORD n = 0;
  if (!WriteFile(reinterpret_cast<HANDLE>(file.handle()), data, static_cast<DWORD>(size), &n, nullptr)) return false;
  put = n;
  return n > 0;
}
#else
int openTraceFile(const char* path) {
  platform::File file(open(path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, S_IRUSR | S_IWUSR));
  if (!file) return -1;
  struct stat info {};
  if (fstat(static_cast<int>(file.handle()), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return static_cast<int>(file.release());
}

bool writeSome(const platform::File& file, const char* data, std::size_t size, std::size_t& put) {
  for (;;) {
    const ssize_t n = write(static_cast<int>(file.handle()), data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    put = static_cast<std::size_t>(n);
    return true;
  }
}
#endif

void warnSecretsOnce(const char* path) {
  static std::once_flag warned;
  std::call_once(warned, [path] {
    std::fprintf(stderr,
                 "tkrdr: warning: PELU7_APDU_TRACE_SECRETS=1, the APDU trace %s holds PIN values "
                 "and keys in clear\n",
                 path);
  });
}

}  // namespace

std::unique_ptr<ApduTrace> ApduTrace::fromEnvironment() {
  // In UTF-8, on Windows from the UTF-16 environment (platform/environment.h).
  const auto path = platform::environmentVariable(kTraceVariable);
  if (!path || path->empty()) return nullptr;
  const auto secrets = platform::environmentVariable(kSecretsVariable);
  const bool showSecrets = secrets == "1";
  const int fd = openTraceFile(path->c_str());
  if (fd < 0) return nullptr;
  if (showSecrets) warnSecretsOnce(path->c_str());
  return std::make_unique<ApduTrace>(fd, showSecrets);
}

void ApduTrace::record(std::span<const std::uint8_t> command, const CardAnswer& answer) {
  writeLine(commandLine(command));
  writeLine(answerLine(answer));
  secrets_.observe(command, answer.status);
}

std::string ApduTrace::commandLine(std::span<const std::uint8_t> command) const {
  const std::size_t hideFrom = showSecrets_ ? command.size() : secrets_.secretOffset(command);
  std::string line = "> ";
  for (std::size_t i = 0; i < command.size(); ++i) {
    if (i >= hideFrom) {
      line += "**";
    } else {
      appendHex(line, command[i]);
    }
  }
  return line;
}

std::string ApduTrace::answerLine(const CardAnswer& answer) {
  std::string line = "< ";
  for (std::uint8_t byte : answer.data) appendHex(line, byte);
  char status[16];
  std::snprintf(status, sizeof status, "%04X", static_cast<unsigned>(answer.status));
  line += status;
  return line;
}

// One write per line, so that lines of several handles or processes that
// append to the same file do not interleave.
void ApduTrace::writeLine(const std::string& line) {
  const std::string text = line + '\n';
  std::size_t written = 0;
  while (written < text.size()) {
    std::size_t n = 0;
    if (!writeSome(file_, text.data() + written, text.size() - written, n)) return;  // best effort
    written += n;
  }
}

}  // namespace tkrdr
