// Small files kept in the machine's memory, shared by name between the
// caller's processes; they are lost when the machine stops. For state that
// several processes share but that must not outlive the machine.
//
// They are read and written with calls that fail cleanly, never through
// memory that could fault: on POSIX a file of /dev/shm shortened by anyone,
// or a full /dev/shm, would kill a program that touched a mapping of it
// (SIGBUS). Their memory is reserved when they are made, so a full /dev/shm
// is an error of open().
//
// Names are the caller's user's own: two users' files of one name are
// distinct. POSIX: files NAME.uUID in /dev/shm (where shm_open keeps its
// objects), created exclusively with mode 0600, opened without following
// links, used only when they are regular files of the caller. Windows: files
// in the user's temporary folder, mapped with CreateFileMappingW.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"

namespace platform {

class SharedMapping {
 public:
  SharedMapping() = default;
  SharedMapping(const SharedMapping&) = delete;
  SharedMapping& operator=(const SharedMapping&) = delete;
  ~SharedMapping() { close(); }

  // Opens the shared file `name` (a plain file name) with at least `size`
  // bytes, made zero-filled where nothing is; `created` tells whether this
  // call made it. kSymbolicLink, kNotRegular or kOtherOwner refuse what
  // another put there; kSystem tells a full memory file system.
  FileError open(const std::string& name, std::size_t size, bool& created);
  void close();

  bool isOpen() const { return size_ != 0; }
  std::size_t size() const { return size_; }
  // Reads `length` bytes at `offset`; kSystem when the file no longer holds
  // them all (it was shortened).
  FileError readAt(std::size_t offset, void* out, std::size_t length) const;
  // Writes `length` bytes at `offset` in one call (so a 4-byte aligned value
  // is never seen half written); kSystem when the system refuses (a full
  // memory file system where the file was shortened meanwhile).
  FileError writeAt(std::size_t offset, const void* bytes, std::size_t length) const;
  // Whether the file is now shorter than the size it was opened with
  // (another program shortened it).
  bool shortened() const;
  // Gives a file that was shortened its size back, zero-filled where it was
  // cut, and reserves its memory again.
  FileError restoreSize() const;
  // The open file, for locking.
  const File& file() const { return file_; }
  // False once the file has been removed from its folder: the mapping is
  // then this process's alone, and the name may lead to a new file.
  bool stillNamed() const;

 private:
  File file_;
  std::intptr_t mapping_ = -1;  // Windows: the file mapping object
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// The path of the caller's shared file `name`, for messages.
std::string sharedMappingPath(const std::string& name);

// The names of the caller's own shared files that start with `prefix`.
std::vector<std::string> sharedMappingNames(const std::string& prefix);

// Removes the caller's own shared file `name`; another's is left alone.
void removeSharedMapping(const std::string& name);

}  // namespace platform
