#include "platform/file_mapping.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "native_file.h"

namespace platform {

using posix::fdOf;
using posix::systemError;

namespace {

constexpr const char* kFolder = "/dev/shm";
constexpr int kOpenFlags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

// The folder is shared by every user: each user's files carry the user's id,
// so that one user's name never meets another's file.
std::string userSuffix() { return ".u" + std::to_string(::geteuid()); }

std::string pathOf(const std::string& name) { return std::string(kFolder) + "/" + name + userSuffix(); }

FileError openError(const std::string& path) {
  const int error = errno;
  if (error == ELOOP) return FileError{FileProblem::kSymbolicLink, {}, 0};
  struct stat info {};
  if (error == EACCES && ::lstat(path.c_str(), &info) == 0 && info.st_uid != ::geteuid()) {
    return FileError{FileProblem::kOtherOwner, {}, info.st_uid};
  }
  return systemError(error);
}

}  // namespace

FileError SharedMapping::open(const std::string& name, std::size_t size, bool& created) {
  close();
  created = false;
  const std::string path = pathOf(name);
  File file;
  for (int attempt = 0; attempt < 8 && !file; ++attempt) {
    file.reset(::open(path.c_str(), kOpenFlags));
    if (file) break;
    if (errno != ENOENT) return openError(path);
    file.reset(::open(path.c_str(), kOpenFlags | O_CREAT | O_EXCL, 0600));
    if (file) {
      created = true;
      break;
    }
    if (errno != EEXIST) return openError(path);
  }
  if (!file) return openError(path);
  // Only the caller's own file is used (root's included only for root): what
  // it holds is trusted, and nobody else may read it.
  struct stat info {};
  if (::fstat(fdOf(file), &info) != 0) return systemError();
  if (!S_ISREG(info.st_mode)) return FileError{FileProblem::kNotRegular, {}, 0};
  if (info.st_uid != ::geteuid()) return FileError{FileProblem::kOtherOwner, {}, info.st_uid};
  if ((info.st_mode & 0077) != 0 && ::fchmod(fdOf(file), 0600) != 0) return systemError();
  // A file just made by another process may not have its size yet; growing
  // it is the same for whoever does it first. Its memory is reserved, so a
  // full /dev/shm is told now (ENOSPC), not at a later write.
  if (const int error = ::posix_fallocate(fdOf(file), 0, static_cast<off_t>(size)); error != 0) {
    return systemError(error);
  }
  file_ = std::move(file);
  size_ = size;
  return {};
}

void SharedMapping::close() {
  data_ = nullptr;
  size_ = 0;
  mapping_ = -1;  // Windows objects; the descriptor is all POSIX needs
  file_.reset();
}

bool SharedMapping::shortened() const {
  struct stat info {};
  return ::fstat(fdOf(file_), &info) == 0 && static_cast<std::size_t>(info.st_size) < size_;
}

FileError SharedMapping::restoreSize() const {
  if (const int error = ::posix_fallocate(fdOf(file_), 0, static_cast<off_t>(size_)); error != 0) return systemError(error);
  return {};
}

FileError SharedMapping::readAt(std::size_t offset, void* out, std::size_t length) const {
  ssize_t got;
  do {
    got = ::pread(fdOf(file_), out, length, static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  if (got < 0) return systemError();
  if (static_cast<std::size_t>(got) != length) return FileError{FileProblem::kSystem, "it has been shortened", 0};
  return {};
}

FileError SharedMapping::writeAt(std::size_t offset, const void* bytes, std::size_t length) const {
  ssize_t put;
  do {
    put = ::pwrite(fdOf(file_), bytes, length, static_cast<off_t>(offset));
  } while (put < 0 && errno == EINTR);
  if (put < 0) return systemError();
  if (static_cast<std::size_t>(put) != length) return FileError{FileProblem::kSystem, "short write", 0};
  return {};
}

bool SharedMapping::stillNamed() const {
  struct stat info {};
  return ::fstat(fdOf(file_), &info) == 0 && info.st_nlink > 0;
}

std::string sharedMappingPath(const std::string& name) { return pathOf(name); }

std::vector<std::string> sharedMappingNames(const std::string& prefix) {
  std::vector<std::string> names;
  DIR* folder = ::opendir(kFolder);
  if (folder == nullptr) return names;
  const std::string suffix = userSuffix();
  while (const dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name.size() < prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    struct stat info {};
    if (::fstatat(::dirfd(folder), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
        info.st_uid == ::geteuid()) {
      names.push_back(name.substr(0, name.size() - suffix.size()));
    }
  }
  ::closedir(folder);
  return names;
}

void removeSharedMapping(const std::string& name) {
  const std::string path = pathOf(name);
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid()) {
    ::unlink(path.c_str());
  }
}

}  // namespace platform
