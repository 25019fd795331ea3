// Helpers for tests where a second local user shares a folder with the test:
// code run in a forked child under another user id, and a world-writable
// sticky folder such as /tmp.
#pragma once

#include <grp.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

namespace vtoken::testing {

// Two unprivileged users: the one who shares the folder with bad intent and
// an ordinary victim. No account needs to exist for either id.
inline constexpr uid_t kAttacker = 65534;
inline constexpr uid_t kVictim = 65533;

inline bool runningAsRoot() { return ::geteuid() == 0; }

// Forks; the child becomes `uid` (group `uid`, no supplementary groups)
// unless it is that user already, and exits with body's result. Returns the child's pid, or -1.
inline pid_t forkAs(uid_t uid, const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid != 0) {
    return pid;
  }
  if (uid != ::geteuid() && (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0)) {
    ::_exit(120);
  }
  int status = 121;
  try {
    status = body();
  } catch (...) {
  }
  ::_exit(status);
}

// The exit status of a child, or -1 when it did not exit normally.
inline int waitForChild(pid_t pid) {
  int status = 0;
  if (pid <= 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
    return -1;
  }
  return WEXITSTATUS(status);
}

inline int runAs(uid_t uid, const std::function<int()>& body) { return waitForChild(forkAs(uid, body)); }

// A 1777 folder like /tmp inside a test folder that everybody may enter.
inline std::string makeStickyFolder(const std::string& testFolder) {
  ::chmod(testFolder.c_str(), 0755);
  const std::string shared = (std::filesystem::path(testFolder) / "shared").string();
  ::mkdir(shared.c_str(), 0700);
  ::chmod(shared.c_str(), 01777);
  return shared;
}

}  // namespace vtoken::testing
