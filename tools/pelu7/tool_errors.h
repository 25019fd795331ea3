// The failures a subcommand can end with, and the exit status of each.
#pragma once

#include <stdexcept>
#include <string>

namespace pelu7tool {

enum ExitStatus : int {
  kExitOk = 0,
  kExitFailure = 1,      // the token or the library refused, or a file could not be used
  kExitUsage = 2,        // wrong command line
  kExitWrongPin = 3,     // wrong PIN, tries left
  kExitPinBlocked = 4,   // PIN blocked
  kExitNoToken = 5,      // the reader or token cannot be opened
};

// A failure outside the library: a file that cannot be read, bad key data.
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A non-zero result of a library call, with what the tool was doing.
class DalError : public std::runtime_error {
 public:
  DalError(std::string operation, int code) : std::runtime_error(operation), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// Throws DalError unless result is 0.
inline void check(int result, const char* operation) {
  if (result != 0) throw DalError(operation, result);
}

}  // namespace pelu7tool
