// Programs that keep a login on one token, as agents do: each a child of
// fork with its own C_Initialize, session and C_Login, finding its private
// key once and then signing only when told, so that a test can change the
// token between their login and their next signature.
#pragma once

#include <sys/types.h>

#include <vector>

#include "module_fixture.h"

namespace p11test {

class LoggedInPrograms {
 public:
  // Starts `count` programs that log in with `pin`; returns once each has
  // answered its log-in (see loginResults).
  LoggedInPrograms(CK_FUNCTION_LIST* p11, int count, const char* pin);
  ~LoggedInPrograms();
  LoggedInPrograms(const LoggedInPrograms&) = delete;
  LoggedInPrograms& operator=(const LoggedInPrograms&) = delete;

  const std::vector<CK_RV>& loginResults() const { return logins_; }
  // Each program signs once, one after the other; their C_Sign results.
  std::vector<CK_RV> signOnce();

 private:
  struct Program {
    pid_t pid = -1;
    int commands = -1;  // parent writes
    int results = -1;   // parent reads
  };
  CK_RV answer(const Program& program) const;

  std::vector<Program> programs_;
  std::vector<CK_RV> logins_;
};

}  // namespace p11test
