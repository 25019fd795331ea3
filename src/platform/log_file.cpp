// The diagnostic log, the same on every platform: where the line goes (the
// platform's fixed folder, or the tests' own), opened append-only; the
// platform writes the line as its text files hold one (log_text.h).
#include "platform/log_file.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "log_text.h"
#include "platform/append_file.h"

namespace platform {

namespace {

constexpr std::size_t kPathRoom = 4096;
char folderOverride[kPathRoom];

// A missing folder is the usual case (logging is off), and learning it costs
// a failed look-up of the folder for every line. Its absence is remembered
// for this long, so that a folder made while a program runs is still found
// within about a second.
constexpr std::int64_t kAbsenceKeptNs = 1'000'000'000;

std::int64_t steadyNow() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::atomic<std::int64_t (*)()> clockNow{steadyNow};
// The log path whose folder was found missing, and until when that holds
// (the clock's nanoseconds); no path: nothing remembered.
std::atomic<const char*> absentPath{nullptr};
std::atomic<std::int64_t> absentUntil{0};

bool knownAbsent(const char* path) noexcept {
  return absentPath.load(std::memory_order_acquire) == path &&
         clockNow.load(std::memory_order_relaxed)() < absentUntil.load(std::memory_order_relaxed);
}

void rememberAbsent(const char* path) noexcept {
  absentUntil.store(clockNow.load(std::memory_order_relaxed)() + kAbsenceKeptNs, std::memory_order_relaxed);
  absentPath.store(path, std::memory_order_release);
}

void forgetAbsent() noexcept { absentPath.store(nullptr, std::memory_order_release); }

}  // namespace

void appendLogLine(const char* path, const char* line, std::size_t length) noexcept {
  if (path == nullptr || length == 0 || knownAbsent(path)) return;
  // Fixed buffers: logging allocates nothing.
  char folder[kPathRoom];
  const char* name = kLogFileName;
  if (folderOverride[0] != '\0') {
    std::snprintf(folder, sizeof folder, "%s", folderOverride);
  } else {
    const char* separator = std::strrchr(path, kLogPathSeparator);
    if (separator == nullptr || static_cast<std::size_t>(separator - path) >= sizeof folder) return;
    std::memcpy(folder, path, static_cast<std::size_t>(separator - path));
    folder[separator - path] = '\0';
    name = separator + 1;
  }
  // The folder must exist (it is never created), and the file is a regular
  // file of its own: a hard link to some other file gets no line.
  AppendOptions options;
  options.folder = folder;
  options.ownerOnly = false;
  options.singleLink = true;
  bool folderMissing = false;
  options.folderMissing = &folderMissing;
  const File file = openAppendOnly(name, options);
  if (!file) {
    if (folderMissing) rememberAbsent(path);
    return;
  }
  forgetAbsent();
  writeLogText(file, line, length);
}

namespace testing {
void setLogFolder(const std::string& folder) {
  std::snprintf(folderOverride, sizeof folderOverride, "%s", folder.c_str());
  forgetAbsent();
}

void setLogClock(std::int64_t (*now)()) {
  clockNow.store(now != nullptr ? now : steadyNow);
  forgetAbsent();
}
}  // namespace testing

}  // namespace platform
