#include "tool_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace tooltest {
namespace {

struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    read = fds[0];
    write = fds[1];
  }
};

// Starts the child with stdin, stdout and stderr on the given pipes.
pid_t spawn(const std::vector<std::string>& argv, const Environment& env, Pipe& in, Pipe& out, Pipe& err) {
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    setsid();  // no controlling terminal: /dev/tty cannot be opened
    dup2(in.read, STDIN_FILENO);
    dup2(out.write, STDOUT_FILENO);
    dup2(err.write, STDERR_FILENO);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(in.read);
  close(out.write);
  close(err.write);
  return pid;
}

// Reads both pipes to their end without letting either fill up.
void drain(int outFd, int errFd, std::string& out, std::string& err) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* targets[2] = {&out, &err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("poll failed");
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        targets[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

int waitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

}  // namespace

// The tool sits beside the test program (both in the build's bin folder), so
// that a copy of the build elsewhere tests its own tool.
std::string toolPath() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::string(PELU7_BUILD_DIR) + "/bin/pelu7";
  return (self.parent_path() / "pelu7").string();
}

RunResult runProgram(const std::vector<std::string>& argv, const Environment& env, const std::string& input) {
  Pipe in, out, err;
  const pid_t pid = spawn(argv, env, in, out, err);
  // The input is small; the child reads it before it writes much.
  std::size_t written = 0;
  signal(SIGPIPE, SIG_IGN);
  while (written < input.size()) {
    const ssize_t n = write(in.write, input.data() + written, input.size() - written);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  close(in.write);
  RunResult result;
  drain(out.read, err.read, result.out, result.err);
  result.status = waitFor(pid);
  return result;
}

Child::Child(const std::vector<std::string>& argv, const Environment& env) {
  Pipe in, out, err;
  pid_ = spawn(argv, env, in, out, err);
  close(in.write);
  outFd_ = out.read;
  errFd_ = err.read;
}

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    finish();
  }
}

void Child::signal(int sig) const { kill(pid_, sig); }

RunResult Child::finish() {
  RunResult result;
  drain(outFd_, errFd_, result.out, result.err);
  result.status = waitFor(pid_);
  pid_ = -1;
  return result;
}

}  // namespace tooltest
