#include "log.h"

#include <limits.h>

#include <cstddef>
#include <cstdio>

#include "platform/log_file.h"

namespace pelu7 {

const char* const logFilePath = platform::kLogFilePath;
char logMessageBuffer[kLogMessageBufferSize];

namespace {

// One line: the prefix, a message of up to the shared buffer's size, a value.
constexpr int kLineBufferSize = kLogMessageBufferSize + PATH_MAX / 4 + 64;

// Hands one formatted line, cut to the line buffer's size, to the log file.
void appendLine(const char* path, const char* line, int length) {
  if (length <= 0) return;
  if (length >= kLineBufferSize) length = kLineBufferSize - 1;
  platform::appendLogLine(path, line, static_cast<std::size_t>(length));
}

}  // namespace

void LogText(const char* path, const char* source, int line, const char* text) {
  if (path == nullptr) return;
  char buffer[kLineBufferSize];
  const int length = std::snprintf(buffer, sizeof buffer, "File %s; Line %d # %s\n", source, line, text);
  appendLine(path, buffer, length);
}

void LogStatus(const char* path, const char* source, int line, const char* text, int value) {
  if (path == nullptr) return;
  char buffer[kLineBufferSize];
  const int length = std::snprintf(buffer, sizeof buffer, "File %s; Line %d # %s%d:0x%X\n", source, line, text,
                                   value, static_cast<unsigned>(value));
  appendLine(path, buffer, length);
}

void LogFormatted(const char* source, int line, const char* format, int value) {
  std::snprintf(logMessageBuffer, sizeof logMessageBuffer, format, value);
  LogText(logFilePath, source, line, logMessageBuffer);
}

}  // namespace pelu7
