// POSIX side of platform::File: its descriptor, and the error of the last
// failed call as a FileError.
#pragma once

#include <cerrno>
#include <cstring>

#include "platform/file.h"

namespace platform::posix {

inline int fdOf(const File& file) { return static_cast<int>(file.handle()); }

inline FileError systemError(int error = errno) { return FileError{FileProblem::kSystem, std::strerror(error), 0}; }

}  // namespace platform::posix
