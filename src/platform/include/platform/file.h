// An open file of the operating system (a POSIX descriptor, a Windows
// handle), owned: closed when its owner goes. The one owner of open files in
// every layer.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

enum class FileProblem {
  kNone,
  kNotFound,      // nothing at the path
  kSymbolicLink,  // a symbolic link at the path
  kNotRegular,    // a folder, a FIFO, a device...
  kOtherOwner,    // owned by a user other than the caller and the administrator
  kTimedOut,      // the lock stayed held by another for the whole wait
  kBusy,          // held by another at this moment (a lock, a file being written)
  kReadOnly,      // the file system holding it is mounted read-only
  kSystem,        // the operating system refused; detail says why
};

struct FileError {
  FileProblem problem = FileProblem::kNone;
  std::string detail;            // the system's description of a kSystem problem
  unsigned long long owner = 0;  // the owner's user id for kOtherOwner
  explicit operator bool() const { return problem != FileProblem::kNone; }
};

// An open file, closed when destroyed.
class File {
 public:
  File() = default;
  // Takes ownership of a native handle; an invalid one (-1) is no file.
  explicit File(std::intptr_t handle) : handle_(handle) {}
  File(File&& other) noexcept : handle_(other.release()) {}
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { reset(); }

  bool isOpen() const { return handle_ != kNoHandle; }
  explicit operator bool() const { return isOpen(); }
  std::intptr_t handle() const { return handle_; }
  // Gives up ownership without closing.
  std::intptr_t release() {
    const std::intptr_t handle = handle_;
    handle_ = kNoHandle;
    return handle;
  }
  // Closes the file it holds, if any, and holds `handle` instead.
  void reset(std::intptr_t handle = kNoHandle) noexcept;
  // Closes now; an error of the close (a late write error) is reported.
  FileError close();

 private:
  static constexpr std::intptr_t kNoHandle = -1;
  std::intptr_t handle_ = kNoHandle;
};

}  // namespace platform
