#include "logged_in_programs.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace p11test {
namespace {

constexpr int kAnswerDeadlineMs = 120 * 1000;  // generous: a loaded machine
constexpr CK_RV kNoAnswer = ~CK_RV{0};

bool writeAll(int fd, const void* data, std::size_t size) {
  return ::write(fd, data, size) == static_cast<ssize_t>(size);
}

CK_RV signWith(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
  CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
  if (CK_RV rv = p11->C_SignInit(session, &mechanism, key); rv != CKR_OK) return rv;
  unsigned char message[] = "signed by a program that stays logged in", signature[128];
  CK_ULONG length = sizeof signature;
  return p11->C_Sign(session, message, sizeof message, signature, &length);
}

// The child: logs in, answers, then signs on 's' until 'q' or the end of
// its command pipe.
[[noreturn]] void runProgram(CK_FUNCTION_LIST* p11, const char* pin, int commands, int results) {
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  CK_RV rv = p11->C_Initialize(nullptr);
  if (rv == CKR_OK) rv = p11->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
  if (rv == CKR_OK) {
    rv = p11->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)), std::strlen(pin));
  }
  CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE pattern = attr(CKA_CLASS, privateClass);
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  CK_ULONG found = 0;
  if (rv == CKR_OK) rv = p11->C_FindObjectsInit(session, &pattern, 1);
  if (rv == CKR_OK) rv = p11->C_FindObjects(session, &key, 1, &found);
  if (rv == CKR_OK) rv = p11->C_FindObjectsFinal(session);
  if (rv == CKR_OK && found != 1) rv = CKR_GENERAL_ERROR;
  writeAll(results, &rv, sizeof rv);
  char command = 0;
  while (::read(commands, &command, 1) == 1 && command == 's') {
    rv = signWith(p11, session, key);
    writeAll(results, &rv, sizeof rv);
  }
  p11->C_Finalize(nullptr);
  _exit(0);
}

}  // namespace

LoggedInPrograms::LoggedInPrograms(CK_FUNCTION_LIST* p11, int count, const char* pin) {
  for (int i = 0; i < count; ++i) {
    int down[2], up[2];
    if (::pipe(down) != 0 || ::pipe(up) != 0) break;
    const pid_t pid = fork();
    if (pid == 0) {
      ::close(down[1]);
      ::close(up[0]);
      for (const Program& other : programs_) {
        ::close(other.commands);
        ::close(other.results);
      }
      runProgram(p11, pin, down[0], up[1]);
    }
    ::close(down[0]);
    ::close(up[1]);
    programs_.push_back(Program{pid, down[1], up[0]});
    // One log-in at a time, as the programs of a user start.
    logins_.push_back(pid > 0 ? answer(programs_.back()) : kNoAnswer);
  }
}

LoggedInPrograms::~LoggedInPrograms() {
  for (const Program& program : programs_) {
    const char quit = 'q';
    writeAll(program.commands, &quit, 1);
    ::close(program.commands);
  }
  for (const Program& program : programs_) {
    int status = 0;
    if (program.pid > 0) waitpid(program.pid, &status, 0);
    ::close(program.results);
  }
}

CK_RV LoggedInPrograms::answer(const Program& program) const {
  pollfd ready{program.results, POLLIN, 0};
  if (::poll(&ready, 1, kAnswerDeadlineMs) != 1) return kNoAnswer;
  CK_RV rv = kNoAnswer;
  if (::read(program.results, &rv, sizeof rv) != static_cast<ssize_t>(sizeof rv)) return kNoAnswer;
  return rv;
}

std::vector<CK_RV> LoggedInPrograms::signOnce() {
  std::vector<CK_RV> results;
  for (const Program& program : programs_) {
    const char sign = 's';
    results.push_back(writeAll(program.commands, &sign, 1) ? answer(program) : kNoAnswer);
  }
  return results;
}

}  // namespace p11test
