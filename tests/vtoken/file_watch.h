// Helpers for token file tests: counting the replacements of a token file
// as the kernel reports them (renames onto its name, seen with inotify), and
// a forked process that runs commands on a token until it is told to stop.
#pragma once

#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace vtoken::testing {

// Counts the renames onto one file's name in its folder from its making on.
class ReplacementCounter {
 public:
  explicit ReplacementCounter(const std::string& path)
      : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), name_(std::filesystem::path(path).filename().string()) {
    // Creations are watched too: the kernel merges an event into an equal one
    // just before it, and each replacement's temporary comes between two
    // renames.
    if (fd_ < 0 ||
        ::inotify_add_watch(fd_, std::filesystem::path(path).parent_path().c_str(), IN_MOVED_TO | IN_CREATE) < 0) {
      throw std::runtime_error("inotify failed");
    }
  }
  ReplacementCounter(const ReplacementCounter&) = delete;
  ReplacementCounter& operator=(const ReplacementCounter&) = delete;
  ~ReplacementCounter() { ::close(fd_); }

  // The replacements since the last call. The kernel queues the event before
  // the rename returns, so every finished replacement is counted.
  int take() {
    int count = 0;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      const ssize_t got = ::read(fd_, buffer, sizeof buffer);
      if (got <= 0) return count;
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if ((event->mask & IN_MOVED_TO) != 0 && event->len > 0 && name_ == event->name) ++count;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }

 private:
  int fd_;
  std::string name_;
};

}  // namespace vtoken::testing
