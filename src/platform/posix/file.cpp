#include "platform/file.h"

#include <unistd.h>

#include "native_file.h"

namespace platform {

File& File::operator=(File&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void File::reset(std::intptr_t handle) noexcept {
  if (handle_ != kNoHandle) ::close(static_cast<int>(handle_));
  handle_ = handle;
}

FileError File::close() {
  if (::close(static_cast<int>(release())) != 0) return posix::systemError();
  return {};
}

}  // namespace platform
