// Runs the pelu7 tool (or another program such as openssl) as a user would:
// a child process with its own stdin, stdout, stderr and environment, and no
// controlling terminal, so that nothing can be typed at it.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace tooltest {

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Variables set in the child, on top of the test's own environment.
using Environment = std::map<std::string, std::string>;

// The pelu7 binary of this build: the one beside the test program.
std::string toolPath();

// Runs argv[0] (searched in PATH when it has no '/') to completion.
RunResult runProgram(const std::vector<std::string>& argv, const Environment& env = {},
                     const std::string& input = {});

// A child left running, e.g. a server; finish() collects its output.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const Environment& env);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  void signal(int sig) const;
  RunResult finish();

 private:
  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
};

}  // namespace tooltest
