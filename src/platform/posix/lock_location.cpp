#include "lock_location.h"

#include <sys/stat.h>

#include "lock_state.h"

namespace platform::posix {
namespace {

constexpr const char* kRootFolder = "/run";
constexpr const char* kRuntimeFolders = "/run/user/";
constexpr const char* kSharedFolder = "/dev/shm";

// A folder in which only `uid` (or root) can create or remove names.
bool ownFolder(const std::string& path, uid_t uid) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  return (info.st_uid == uid || info.st_uid == 0) && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

std::string lockFolder(uid_t uid) {
  if (uid == 0) {
    if (ownFolder(kRootFolder, 0)) return kRootFolder;
    return kSharedFolder;
  }
  std::string runtime = kRuntimeFolders + std::to_string(uid);
  // The runtime folder must be the user's own, closed to everyone else.
  struct stat info {};
  if (stat(runtime.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == uid &&
      (info.st_mode & 077) == 0)
    return runtime;
  return kSharedFolder;
}

std::string lockObjectPath(const std::string& stem, uid_t uid) { return lockFolder(uid) + lockObjectName(stem, uid); }

}  // namespace platform::posix
