#include "platform/user_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "native_file.h"
#include "platform/environment.h"
#include "platform/file_store.h"

namespace platform {

namespace {

// A real folder (not a link) of the calling user that nobody else may write.
bool ownFolder(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
         (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool makeOwnFolder(const std::string& path) {
  if (::mkdir(path.c_str(), S_IRWXU) != 0 && errno != EEXIST) return false;
  return ownFolder(path);
}

}  // namespace

std::optional<std::string> userCacheFolder(const char* name) {
  std::string base;
  const auto xdg = environmentVariable("XDG_CACHE_HOME");
  if (xdg && !xdg->empty() && xdg->front() == '/') {
    base = *xdg;
  } else {
    const auto home = environmentVariable("HOME");
    if (!home || home->empty() || home->front() != '/') return std::nullopt;
    base = *home + "/.cache";
  }
  // The cache folder itself may be shared (a home on another owner's
  // volume): only the program's own folder must be the user's.
  if (::mkdir(base.c_str(), S_IRWXU) != 0 && errno != EEXIST) return std::nullopt;
  const std::string folder = base + "/" + name;
  if (!makeOwnFolder(folder)) return std::nullopt;
  return folder;
}

std::optional<std::vector<std::uint8_t>> readPrivateFile(const std::string& path, std::size_t maxSize) {
  const File file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file) return std::nullopt;
  struct stat info {};
  if (::fstat(posix::fdOf(file), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
      (info.st_mode & (S_IRWXG | S_IRWXO)) != 0 || static_cast<std::uint64_t>(info.st_size) > maxSize) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(info.st_size));
  std::size_t got = 0;
  if (readUpTo(file, bytes.data(), bytes.size(), got) || got != bytes.size()) return std::nullopt;
  return bytes;
}

bool replacePrivateFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  // Temporaries of writers killed before their rename go first.
  int removed = 0;
  removeStaleReplacements(path, removed);
  Replacement replacement(path);
  return !replacement.create() && !replacement.restrictToOwner() && !replacement.write(bytes.data(), bytes.size()) &&
         !replacement.close() && !replacement.replaceTarget();
}

}  // namespace platform
