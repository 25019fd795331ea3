// The diagnostic log, the same on every platform: where the line goes (the
// platform's fixed folder, or the tests' own), opened append-only; the
// platform writes the line as its text files hold one (log_text.h).
#include "platform/log_file.h"

#include <cstdio>
#include <cstring>

#include "log_text.h"
#include "platform/append_file.h"

namespace platform {

namespace {

constexpr std::size_t kPathRoom = 4096;
char folderOverride[kPathRoom];

}  // namespace

void appendLogLine(const char* path, const char* line, std::size_t length) noexcept {
  if (path == nullptr || length == 0) return;
  // Fixed buffers: logging allocates nothing.
  char folder[kPathRoom];
  const char* name = kLogFileName;
  if (folderOverride[0] != '\0') {
    std::snprintf(folder, sizeof folder, "%s", folderOverride);
  } else {
    const char* separator = std::strrchr(path, kLogPathSeparator);
    if (separator == nullptr || static_cast<std::size_t>(separator - path) >= sizeof folder) return;
    std::memcpy(folder, path, static_cast<std::size_t>(separator - path));
    folder[separator - path] = '\0';
    name = separator + 1;
  }
  // The folder must exist (it is never created), and the file is a regular
  // file of its own: a hard link to some other file gets no line.
  AppendOptions options;
  options.folder = folder;
  options.ownerOnly = false;
  options.singleLink = true;
  const File file = openAppendOnly(name, options);
  if (!file) return;
  writeLogText(file, line, length);
}

namespace testing {
void setLogFolder(const std::string& folder) {
  std::snprintf(folderOverride, sizeof folderOverride, "%s", folder.c_str());
}
}  // namespace testing

}  // namespace platform
