// Small files kept in the machine's memory, shared by name between the
// caller's processes and mapped into each of them; they are lost when the
// machine stops. For state that several processes share but that must not
// outlive the machine.
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

  // Maps `size` bytes of the shared file `name` (a plain file name), made
  // zero-filled where nothing is; `created` tells whether this call made it.
  // kSymbolicLink, kNotRegular or kOtherOwner refuse what another put there.
  FileError open(const std::string& name, std::size_t size, bool& created);
  void close();

  bool isOpen() const { return data_ != nullptr; }
  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
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
