#include "platform/append_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "native_file.h"

namespace platform {

File openAppendOnly(const char* path, const AppendOptions& options) noexcept {
  if (path == nullptr) return {};
  const int flags = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  const mode_t mode = options.ownerOnly ? (S_IRUSR | S_IWUSR) : (S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH);
  struct stat st {};
  File file;
  if (options.folder != nullptr) {
    // The file is opened relative to the folder checked, so that a folder
    // swapped for a link after the check is never followed.
    if (lstat(options.folder, &st) != 0) {
      if (options.folderMissing != nullptr) *options.folderMissing = errno == ENOENT || errno == ENOTDIR;
      return {};
    }
    if (options.folderMissing != nullptr) *options.folderMissing = false;
    if (!S_ISDIR(st.st_mode)) return {};
    const File dir(open(options.folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) return {};
    file.reset(openat(posix::fdOf(dir), path, flags, mode));
  } else {
    file.reset(open(path, flags, mode));
  }
  if (!file) return {};
  if (fstat(posix::fdOf(file), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  if (options.singleLink && st.st_nlink != 1) return {};
  return file;
}

bool appendAll(const File& file, const char* data, std::size_t size) noexcept {
  while (size > 0) {
    const ssize_t n = write(posix::fdOf(file), data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace platform
