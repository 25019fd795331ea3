#include "pelu7/log.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace pelu7 {

const char* const logFilePath = "/var/log/dal/dal_pelu7.txt";
char logMessageBuffer[kLogMessageBufferSize];

namespace {

// One line: the prefix, a message of up to the shared buffer's size, a value.
constexpr int kLineBufferSize = kLogMessageBufferSize + PATH_MAX / 4 + 64;

char folderOverride[PATH_MAX];

// Opens the log file for appending. The folder must exist as a real
// directory (it is never created), and the file itself is never reached
// through a symbolic link. Works on fixed buffers: logging allocates nothing.
int openLogFile(const char* path) {
  char folder[PATH_MAX];
  const char* name = kLogFileName;
  if (folderOverride[0] != '\0') {
    std::snprintf(folder, sizeof folder, "%s", folderOverride);
  } else {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr || static_cast<size_t>(slash - path) >= sizeof folder) return -1;
    std::memcpy(folder, path, static_cast<size_t>(slash - path));
    folder[slash - path] = '\0';
    name = slash + 1;
  }
  struct stat st {};
  if (lstat(folder, &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
  const int dir = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) return -1;
  // Never blocks (a FIFO put in the file's place would hold every failing
  // call) and writes only into a regular file of its own: a FIFO, a device or
  // a hard link to some other file gets no line.
  const int fd = openat(dir, name, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  close(dir);
  if (fd < 0) return -1;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    close(fd);
    return -1;
  }
  return fd;
}

// Appends one formatted line with a single write, so that lines of several
// threads or processes never interleave within a line.
void appendLine(const char* path, const char* line, int length) {
  if (path == nullptr || length <= 0) return;
  const int fd = openLogFile(path);
  if (fd < 0) return;
  if (length >= kLineBufferSize) length = kLineBufferSize - 1;
  const ssize_t ignored = write(fd, line, static_cast<size_t>(length));
  (void)ignored;
  close(fd);
}

}  // namespace

void LogText(const char* path, const char* source, int line, const char* text) {
  if (path == nullptr) return;
  char buffer[kLineBufferSize];
  const int length = std::snprintf(buffer, sizeof buffer, "File %s; Line %d # %s\n", source, line, text);
  appendLine(path, buffer, length);
}

void LogStatus(const char* path, const char* source, int line, const char* text, int value) {
  if (path == nullptr) return;
  char buffer[kLineBufferSize];
  const int length = std::snprintf(buffer, sizeof buffer, "File %s; Line %d # %s%d:0x%X\n", source, line, text,
                                   value, static_cast<unsigned>(value));
  appendLine(path, buffer, length);
}

void LogFormatted(const char* source, int line, const char* format, int value) {
  std::snprintf(logMessageBuffer, sizeof logMessageBuffer, format, value);
  LogText(logFilePath, source, line, logMessageBuffer);
}

namespace testing {
void setLogFolder(const std::string& folder) {
  std::snprintf(folderOverride, sizeof folderOverride, "%s", folder.c_str());
}
}  // namespace testing

}  // namespace pelu7
