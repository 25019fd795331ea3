#include "platform/log_file.h"

#include "log_text.h"
#include "platform/append_file.h"

namespace platform {

const char kLogFolder[] = "c:\\dal";
const char kLogFilePath[] = "c:\\dal\\dal_pelu7.txt";
const char kLogPathSeparator = '\\';

// Text mode: each "\n" is written as "\r\n". A line fits the buffer whole
// and goes out in one write; a longer one is written in pieces.
void writeLogText(const File& file, const char* line, std::size_t length) noexcept {
  char text[8192];
  std::size_t used = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (used + 2 > sizeof text) {
      if (!appendAll(file, text, used)) return;
      used = 0;
    }
    if (line[i] == '\n') text[used++] = '\r';
    text[used++] = line[i];
  }
  appendAll(file, text, used);
}

}  // namespace platform
