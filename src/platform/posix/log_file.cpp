#include "platform/log_file.h"

#include "log_text.h"
#include "platform/append_file.h"

namespace platform {

const char kLogFolder[] = "/var/log/dal";
const char kLogFilePath[] = "/var/log/dal/dal_pelu7.txt";
const char kLogPathSeparator = '/';

// One write, so that lines of several threads or processes never interleave.
void writeLogText(const File& file, const char* line, std::size_t length) noexcept {
  appendAll(file, line, length);
}

}  // namespace platform
