#include "platform/file_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "native_file.h"

namespace platform {

using posix::fdOf;
using posix::systemError;

namespace {

constexpr int kLockOpenFlags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

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
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (openInto(file, ::open(path.c_str(), kLockOpenFlags))) return {};
    if (errno != ENOENT) return openError(path);
    if (openInto(file, ::open(path.c_str(), kLockOpenFlags | O_CREAT | O_EXCL, 0600))) return {};
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

FileError lockExclusive(const File& file, std::chrono::milliseconds wait) {
  // Polled so that a holder that never lets go (a stopped process, or one of
  // another user on a file shared by mistake) ends in an error, not a hang.
  const auto deadline = std::chrono::steady_clock::now() + wait;
  std::chrono::milliseconds pause{1};
  while (::flock(fdOf(file), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return systemError();
    if (std::chrono::steady_clock::now() >= deadline) return FileError{FileProblem::kTimedOut, {}, 0};
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
  return {};
}

void unlock(const File& file) { ::flock(fdOf(file), LOCK_UN); }

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
  if (!openInto(file_, ::mkostemp(pattern.data(), O_CLOEXEC))) return systemError();
  temporary_ = std::move(pattern);
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
