// The platform's side of the diagnostic log (log_file.cpp): how its paths
// are split and how a line is written to the open file.
#pragma once

#include <cstddef>

#include "platform/file.h"

namespace platform {

// The separator of the folders in kLogFilePath.
extern const char kLogPathSeparator;

// Writes `length` bytes of `line` at the end of the open log file as the
// platform's text files hold them, in one write when the line allows.
void writeLogText(const File& file, const char* line, std::size_t length) noexcept;

}  // namespace platform
