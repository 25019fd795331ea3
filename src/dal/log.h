// The diagnostic log: one line per failure, appended to a fixed file when its
// folder exists. Two line formats:
//   LogText:   "File <source>; Line <line> # <text>\n"
//   LogStatus: "File <source>; Line <line> # <text><value>:0x<VALUE>\n"
#pragma once

#include <source_location>
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

// The writers every call site uses: the line written carries the library's
// source name and the line of the call (std::source_location gives the line
// of the call's start, whatever the layout of its arguments).
inline int lineOf(const std::source_location& site) { return static_cast<int>(site.line()); }

inline void logText(const char* text, std::source_location site = std::source_location::current()) {
  LogText(logFilePath, kLogSourceName, lineOf(site), text);
}

inline void logStatus(const char* text, int value, std::source_location site = std::source_location::current()) {
  LogStatus(logFilePath, kLogSourceName, lineOf(site), text, value);
}

inline void logFormatted(const char* format, int value, std::source_location site = std::source_location::current()) {
  LogFormatted(kLogSourceName, lineOf(site), format, value);
}

}  // namespace pelu7
