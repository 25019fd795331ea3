// The diagnostic log: one line per failure, appended to a fixed file when its
// folder exists. Two line formats:
//   LogText:   "File <source>; Line <line> # <text>\n"
//   LogStatus: "File <source>; Line <line> # <text><value>:0x<VALUE>\n"
#pragma once

#include <string>

namespace pelu7 {

// The one source name that every line carries: all lines come from this
// library, told apart by the line numbers of their call sites.
inline constexpr const char* kLogSourceName = "vorn_dal_pelu7";

// The one path that every call site passes: the platform's log file, which
// is written only while its folder exists.
extern const char* const logFilePath;

// Shared formatting buffer for messages that carry a value.
inline constexpr int kLogMessageBufferSize = 512;
extern char logMessageBuffer[kLogMessageBufferSize];

void LogText(const char* path, const char* source, int line, const char* text);
void LogStatus(const char* path, const char* source, int line, const char* text, int value);

// Formats into logMessageBuffer (printf rules) and writes it with LogText.
void LogFormatted(const char* source, int line, const char* format, int value);

}  // namespace pelu7

// Every call site logs through these, so that each line carries the library's
// source name and the line of its own call site.
#define PELU7_LOG(text) ::pelu7::LogText(::pelu7::logFilePath, ::pelu7::kLogSourceName, __LINE__, (text))
#define PELU7_LOG_STATUS(text, value) \
  ::pelu7::LogStatus(::pelu7::logFilePath, ::pelu7::kLogSourceName, __LINE__, (text), (value))
#define PELU7_LOG_FORMAT(format, value) ::pelu7::LogFormatted(::pelu7::kLogSourceName, __LINE__, (format), (value))
