#include "platform/file_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "native_file.h"

namespace platform {

using posix::fdOf;
using posix::systemError;

namespace {

constexpr int kOpenFlags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
// The random part of a replacement's name, as mkostemp makes it.
constexpr std::size_t kRandomSuffixLength = 6;

// Files another user owns in a shared folder are not ours to trust: that
// user could read them, or replace what we would read. Root's are trusted.
bool ownedByAnotherUser(uid_t owner) { return owner != ::geteuid() && owner != 0; }

FileError otherOwner(uid_t owner) { return FileError{FileProblem::kOtherOwner, {}, owner}; }

// Why a file that cannot be opened is refused: its owner when that is another
// user, else the error of the open.
FileError openError(const std::string& path) {
  const int error = errno;
  if (error == ELOOP) return FileError{FileProblem::kSymbolicLink, {}, 0};
  if (error == EISDIR) return FileError{FileProblem::kNotRegular, {}, 0};
  if (error == EROFS) return FileError{FileProblem::kReadOnly, std::strerror(error), 0};
  struct stat info {};
  if (error == EACCES && ::lstat(path.c_str(), &info) == 0 && ownedByAnotherUser(info.st_uid)) {
    return otherOwner(info.st_uid);
  }
  return systemError(error);
}

// Hands a descriptor just returned by open to `file`, keeping the open's errno.
bool openInto(File& file, int fd) {
  const int error = errno;
  file.reset(fd);
  errno = error;
  return file.isOpen();
}

}  // namespace

FileError openForReading(const std::string& path, File& file) {
  // Without O_NONBLOCK a FIFO put at the path would stall the open, and every
  // process waiting for a lock with it.
  if (openInto(file, ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK))) return {};
  if (errno == ENOENT) return FileError{FileProblem::kNotFound, {}, 0};
  return openError(path);
}

FileError openLockFile(const std::string& path, File& file) {
  // flock needs no write access, so an existing lock file is opened for
  // reading: it can be locked on a read-only medium too.
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (openInto(file, ::open(path.c_str(), O_RDONLY | kOpenFlags))) return {};
    if (errno != ENOENT) return openError(path);
    if (openInto(file, ::open(path.c_str(), O_RDWR | kOpenFlags | O_CREAT | O_EXCL, 0600))) return {};
    if (errno != EEXIST) return openError(path);
  }
  return openError(path);
}

FileError examine(const File& file, std::uint64_t& size) {
  struct stat info {};
  if (::fstat(fdOf(file), &info) != 0) return systemError();
  if (!S_ISREG(info.st_mode)) return FileError{FileProblem::kNotRegular, {}, 0};
  if (ownedByAnotherUser(info.st_uid)) return otherOwner(info.st_uid);
  size = static_cast<std::uint64_t>(info.st_size);
  return {};
}

FileError readUpTo(const File& file, std::uint8_t* data, std::size_t size, std::size_t& got) {
  got = 0;
  while (got < size) {
    const ssize_t n = ::read(fdOf(file), data + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return systemError();
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return {};
}

FileError tryLockExclusive(const File& file) {
  while (::flock(fdOf(file), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return FileError{FileProblem::kBusy, {}, 0};
    return systemError();
  }
  return {};
}

void unlock(const File& file) { ::flock(fdOf(file), LOCK_UN); }

namespace {

FileIdentity identityOf(const struct stat& info) {
  constexpr std::int64_t kNano = 1000000000;
  return FileIdentity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                      static_cast<std::uint64_t>(info.st_size),
                      std::int64_t{info.st_mtim.tv_sec} * kNano + info.st_mtim.tv_nsec,
                      std::int64_t{info.st_ctim.tv_sec} * kNano + info.st_ctim.tv_nsec};
}

}  // namespace

FileError identify(const std::string& path, FileIdentity& identity) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    return errno == ENOENT ? FileError{FileProblem::kNotFound, {}, 0} : systemError();
  }
  identity = identityOf(info);
  return {};
}

FileError identify(const File& file, FileIdentity& identity) {
  struct stat info {};
  if (::fstat(fdOf(file), &info) != 0) return systemError();
  identity = identityOf(info);
  return {};
}

FileError removeStaleReplacements(const std::string& target, int& removed) {
  removed = 0;
  const std::filesystem::path targetPath(target);
  const std::string parent = targetPath.parent_path().string();
  const std::string prefix = targetPath.filename().string() + ".tmp.";
  const int folderFd = ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd < 0) return systemError();
  DIR* folder = ::fdopendir(folderFd);
  if (folder == nullptr) {
    const FileError error = systemError();
    ::close(folderFd);
    return error;
  }
  while (const dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name.size() != prefix.size() + kRandomSuffixLength || name.compare(0, prefix.size(), prefix) != 0) continue;
    // Opened without following a link; another user's file, or one whose
    // writer still holds it (it is being filled), is left alone.
    const File candidate(::openat(folderFd, name.c_str(), O_RDWR | kOpenFlags));
    struct stat opened {};
    if (!candidate || ::fstat(fdOf(candidate), &opened) != 0 || !S_ISREG(opened.st_mode) ||
        opened.st_uid != ::geteuid() || ::flock(fdOf(candidate), LOCK_EX | LOCK_NB) != 0) {
      continue;
    }
    struct stat named {};
    if (::fstatat(folderFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_dev != opened.st_dev ||
        named.st_ino != opened.st_ino) {
      continue;
    }
    // Emptied first: a copy of the token must not outlive its name through
    // another link to it.
    if (::ftruncate(fdOf(candidate), 0) == 0 && ::unlinkat(folderFd, name.c_str(), 0) == 0) ++removed;
  }
  ::closedir(folder);
  return {};
}

Replacement::~Replacement() {
  if (!temporary_.empty() && !replaced_) {
    file_.reset();
    ::unlink(temporary_.c_str());
  }
}

FileError Replacement::create() {
  // Created with O_EXCL under a random name: a file someone put in the folder
  // is never written to nor renamed over the target.
  std::string pattern = target_ + ".tmp.XXXXXX";
  if (!openInto(file_, ::mkostemp(pattern.data(), O_CLOEXEC))) return openError(pattern);
  temporary_ = std::move(pattern);
  // Held while it is being filled, so that no one removes it as a leftover.
  if (::flock(fdOf(file_), LOCK_EX | LOCK_NB) != 0) return systemError();
  return {};
}

FileError Replacement::restrictToOwner() {
  return ::fchmod(fdOf(file_), 0600) == 0 ? FileError{} : systemError();
}

FileError Replacement::write(const std::uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t put = ::write(fdOf(file_), data + done, size - done);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return systemError();
    done += static_cast<std::size_t>(put);
  }
  return {};
}

FileError Replacement::flush() { return ::fsync(fdOf(file_)) == 0 ? FileError{} : systemError(); }

FileError Replacement::replaceTarget() {
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) return systemError();
  replaced_ = true;
  return {};
}

FileError syncFolderOf(const std::string& path) {
  const std::string parent = std::filesystem::path(path).parent_path().string();
  const std::string folder = parent.empty() ? std::string(".") : parent;
  const File dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir || ::fsync(fdOf(dir)) != 0) return systemError();
  return {};
}

}  // namespace platform
