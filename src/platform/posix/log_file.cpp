#include "platform/log_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "native_file.h"

namespace platform {

const char kLogFolder[] = "/var/log/dal";
const char kLogFilePath[] = "/var/log/dal/dal_pelu7.txt";

namespace {

char folderOverride[PATH_MAX];

// Opens the log file for appending. The folder must exist as a real
// directory (it is never created), and the file itself is never reached
// through a symbolic link. Works on fixed buffers: logging allocates nothing.
File openLogFile(const char* path) {
  char folder[PATH_MAX];
  const char* name = kLogFileName;
  if (folderOverride[0] != '\0') {
    std::snprintf(folder, sizeof folder, "%s", folderOverride);
  } else {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr || static_cast<size_t>(slash - path) >= sizeof folder) return {};
    std::memcpy(folder, path, static_cast<size_t>(slash - path));
    folder[slash - path] = '\0';
    name = slash + 1;
  }
  struct stat st {};
  if (lstat(folder, &st) != 0 || !S_ISDIR(st.st_mode)) return {};
  const File dir(open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir) return {};
  // Never blocks (a FIFO put in the file's place would hold every failing
  // call) and writes only into a regular file of its own: a FIFO, a device or
  // a hard link to some other file gets no line.
  File file(
      openat(posix::fdOf(dir), name, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
  if (!file) return {};
  if (fstat(posix::fdOf(file), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return {};
  return file;
}

}  // namespace

void appendLogLine(const char* path, const char* line, std::size_t length) noexcept {
  if (path == nullptr || length == 0) return;
  const File file = openLogFile(path);
  if (!file) return;
  const ssize_t ignored = write(posix::fdOf(file), line, length);
  (void)ignored;
}

namespace testing {
void setLogFolder(const std::string& folder) {
  std::snprintf(folderOverride, sizeof folderOverride, "%s", folder.c_str());
}
}  // namespace testing

}  // namespace platform
