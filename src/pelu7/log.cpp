#include "pelu7/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace pelu7 {

const char* const logFilePath = "/var/log/dal/dal_pelu7.txt";
char logMessageBuffer[kLogMessageBufferSize];

namespace {

std::string& folderOverride() {
  static std::string folder;
  return folder;
}

// Opens the log file for appending. The folder must exist as a real
// directory (it is never created), and the file itself is never reached
// through a symbolic link.
FILE* openLogFile(const char* path) {
  std::string folder = kLogFolder;
  const char* name = kLogFileName;
  if (!folderOverride().empty()) {
    folder = folderOverride();
  } else {
    std::string full = path;
    auto slash = full.rfind('/');
    if (slash == std::string::npos) return nullptr;
    folder = full.substr(0, slash);
    name = path + slash + 1;
  }
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return nullptr;
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) return nullptr;
  int fd = openat(dir, name, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  close(dir);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "a");
  if (file == nullptr) close(fd);
  return file;
}

}  // namespace

void LogText(const char* path, const char* source, int line, const char* text) {
  if (path == nullptr) return;
  FILE* file = openLogFile(path);
  if (file == nullptr) return;
  std::fprintf(file, "File %s; Line %d # %s\n", source, line, text);
  std::fclose(file);
}

void LogStatus(const char* path, const char* source, int line, const char* text, int value) {
  if (path == nullptr) return;
  FILE* file = openLogFile(path);
  if (file == nullptr) return;
  std::fprintf(file, "File %s; Line %d # %s%d:0x%X\n", source, line, text, value, static_cast<unsigned>(value));
  std::fclose(file);
}

void LogFormatted(const char* source, int line, const char* format, int value) {
  std::snprintf(logMessageBuffer, sizeof logMessageBuffer, format, value);
  LogText(logFilePath, source, line, logMessageBuffer);
}

namespace testing {
void setLogFolder(const std::string& folder) { folderOverride() = folder; }
}  // namespace testing

}  // namespace pelu7
