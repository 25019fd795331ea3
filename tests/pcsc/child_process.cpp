#include "child_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace pcsctest {
namespace {

int exitStatusOf(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return -1;
}

void writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    done += static_cast<std::size_t>(put);
  }
}

}  // namespace

ChildProcess ChildProcess::spawn(const std::vector<std::string>& argv, const std::string& logPath) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  return ChildProcess(pid);
}

ChildProcess ChildProcess::fork(const std::function<int(std::string& report)>& work) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    ::close(fds[0]);
    int status = 1;
    std::string report;
    try {
      status = work(report);
    } catch (const std::exception& e) {
      report += std::string("exception: ") + e.what();
    } catch (...) {
      report += "unknown exception";
    }
    writeAll(fds[1], report);
    ::_exit(status);  // no destructors, no test framework teardown in the copy
  }
  ::close(fds[1]);
  return ChildProcess(pid, fds[0]);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      reportFd_(std::exchange(other.reportFd_, -1)),
      endedStatus_(other.endedStatus_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    if (running()) stop();
    if (reportFd_ >= 0) ::close(reportFd_);
    pid_ = std::exchange(other.pid_, -1);
    reportFd_ = std::exchange(other.reportFd_, -1);
    endedStatus_ = other.endedStatus_;
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  if (running()) stop();
  if (reportFd_ >= 0) ::close(reportFd_);
}

int ChildProcess::stop(int signal) {
  if (!running()) return -1;
  ::kill(pid_, signal);
  return wait();
}

bool ChildProcess::hasEnded() {
  if (!running()) return true;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
  pid_ = -1;
  endedStatus_ = exitStatusOf(status);
  return true;
}

int ChildProcess::wait() {
  if (!running()) return endedStatus_;
  int status = 0;
  pid_t done;
  do {
    done = ::waitpid(pid_, &status, 0);
  } while (done < 0 && errno == EINTR);
  pid_ = -1;
  return done < 0 ? -1 : exitStatusOf(status);
}

std::string ChildProcess::drainReport() {
  std::string text;
  if (reportFd_ < 0) return text;
  char buffer[512];
  for (;;) {
    const ssize_t got = ::read(reportFd_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(reportFd_);
  reportFd_ = -1;
  return text;
}

std::string ChildProcess::finish(int& exitStatus) {
  // The report is read first: a child blocked on a full pipe would never end.
  std::string report = drainReport();
  exitStatus = wait();
  return report;
}

}  // namespace pcsctest
