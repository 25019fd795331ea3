// The diagnostic log file: lines are appended to a fixed file only while its
// folder exists, so that logging is switched on by making the folder.
//
// POSIX: /var/log/dal/dal_pelu7.txt, never reached through a symbolic link.
// Windows: c:\dal\dal_pelu7.txt, appended in text mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// The log file's folder and path on this platform.
extern const char kLogFolder[];
extern const char kLogFilePath[];
// Its name within the folder, the same everywhere.
inline constexpr const char* kLogFileName = "dal_pelu7.txt";

// Appends `length` bytes of `line` to the log file at `path` with a single
// write, so that lines of several threads or processes never interleave.
// Nothing is written when the file's folder does not exist, or when the file
// is not a regular file of its own. Allocates nothing and never blocks on
// what is found at the path. A folder found missing is not looked for again
// for one second: a folder made while a program runs gets the lines logged
// from about a second later on.
void appendLogLine(const char* path, const char* line, std::size_t length) noexcept;

namespace testing {
// Puts the log file into another folder (tests only); an empty string
// restores the platform's folder.
void setLogFolder(const std::string& folder);
// Puts another monotonic clock (nanoseconds) under the memory of a missing
// folder (tests only); null restores the steady clock. Both calls forget
// what was remembered.
void setLogClock(std::int64_t (*now)());
}  // namespace testing

}  // namespace platform
