// Child processes of the end-to-end suite: programs it starts (pcscd, the
// pelu7 tool attaching a token) and forked workers that use the library from a
// second process. A child still running when its owner goes away is stopped.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace pcsctest {

class ChildProcess {
 public:
  // Starts program with its arguments; stdout and stderr are appended to
  // logPath. Throws std::runtime_error when the program cannot be started.
  static ChildProcess spawn(const std::vector<std::string>& argv, const std::string& logPath);

  // Runs work in a forked copy of this process. Its return value is the exit
  // status; the text it writes to report reaches the parent (see finish()).
  // Nothing of the parent's test framework runs in the child.
  static ChildProcess fork(const std::function<int(std::string& report)>& work);

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0; }
  // True once the child has ended by itself (it is then reaped).
  bool hasEnded();

  // Sends the signal and waits for the end; returns the exit status, or 128
  // + the signal that ended it.
  int stop(int signal = SIGTERM);
  // Waits for the end without a signal; same result as stop(). After
  // hasEnded() said true: the status it saw.
  int wait();
  // For forked workers: waits, and returns the report text.
  std::string finish(int& exitStatus);

 private:
  explicit ChildProcess(pid_t pid, int reportFd = -1) : pid_(pid), reportFd_(reportFd) {}
  std::string drainReport();

  pid_t pid_ = -1;
  int reportFd_ = -1;
  int endedStatus_ = -1;  // kept by hasEnded() for wait()
};

}  // namespace pcsctest
