#include "session.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "data_io.h"
#include "pin_input.h"
#include "tool_errors.h"

namespace pelu7tool {
namespace {

constexpr std::int64_t kMaxPort = 99999999;
// InitializeEx opens USB1 for index 8, so USB9 cannot be chosen through it.
constexpr std::int64_t kUnreachablePort = 9;

void checkReaderSpec(const std::string& spec) {
  const bool vtoken = spec.rfind("vtoken:", 0) == 0;
  const bool pcsc = spec.rfind("pcsc:", 0) == 0 && spec.size() > 5;
  if (!vtoken && !pcsc) throw UsageError("--reader takes vtoken:PATH or pcsc:NAME, not '" + spec + "'");
  if (spec.find(';') != std::string::npos) throw UsageError("--reader cannot contain ';'");
}

// The driver skips a trace file it cannot open without a word, as a library
// must; the tool says so. The file is opened as the driver opens it: created
// 0600, appended to, no symbolic link, never waiting on a FIFO, regular only.
#ifdef _WIN32
void setVariable(const char* name, const std::string& value) { _putenv_s(name, value.c_str()); }

void warnIfTraceCannotBeOpened(const std::string& path) {
  const HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  std::string problem;
  if (file == INVALID_HANDLE_VALUE) {
    problem = "error " + std::to_string(GetLastError());
  } else {
    if (GetFileType(file) != FILE_TYPE_DISK) problem = "not a regular file";
    CloseHandle(file);
  }
  if (!problem.empty()) {
    std::cerr << "pelu7: warning: cannot open the trace file " << path << ": " << problem << "; nothing is traced\n";
  }
}
#else
void setVariable(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

void warnIfTraceCannotBeOpened(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  std::string problem;
  if (fd < 0) {
    problem = std::strerror(errno);
  } else {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) problem = "not a regular file";
    ::close(fd);
  }
  if (!problem.empty()) {
    std::cerr << "pelu7: warning: cannot open the trace file " << path << ": " << problem << "; nothing is traced\n";
  }
}
#endif

}  // namespace

Session::Session(const ParsedArgs& args) {
  if (const auto port = args.value("port")) {
    port_ = static_cast<int>(parseNumber(*port, "--port", 1, kMaxPort));
    if (*port_ == kUnreachablePort) throw UsageError("--port 9 cannot be opened through the library (use 1 to 8 or 10 up)");
  }
  if (const auto reader = args.value("reader")) {
    checkReaderSpec(*reader);
    const std::string map = "USB" + std::to_string(port_.value_or(1)) + "=" + *reader;
    setVariable("PELU7_READERS", map);
  }
  if (const auto trace = args.value("trace")) {
    if (trace->empty()) throw UsageError("--trace needs a file name");
    setVariable("PELU7_APDU_TRACE", *trace);
    warnIfTraceCannotBeOpened(*trace);
  }
  VORN_DAL_GetFunctionList(&table_);
}

Session::~Session() {
  if (opened_) {
    if (port_) {
      table_.FinalizeEx(0);
    } else {
      VORN_DAL_Finalize();
    }
  }
  // After the token is closed: the next program finds the card free.
  if (lock_ != nullptr) {
    VORN_DAL_UnLockMutex(lock_);
    VORN_DAL_DestroyMutex(lock_);
  }
}

// A lock that cannot be had leaves the tool working as before (each of its
// commands to the card is still whole), with a word on stderr.
void Session::takeLock() {
  void* lock = nullptr;
  if (const int rc = VORN_DAL_CreateMutex(&lock); rc != 0) {
    std::cerr << "pelu7: warning: the library's lock between programs cannot be opened (" << rc
              << "); going on without it\n";
    return;
  }
  if (const int rc = VORN_DAL_LockMutex(lock); rc != 0) {
    std::cerr << "pelu7: warning: the library's lock between programs cannot be taken (" << rc
              << "); going on without it\n";
    VORN_DAL_DestroyMutex(lock);
    return;
  }
  lock_ = lock;
}

void Session::open() {
  if (opened_) return;
  if (lock_ == nullptr) takeLock();
  if (port_) {
    check(table_.InitializeEx(*port_ - 1), "open token");
  } else {
    check(VORN_DAL_Initialize(), "open token");
  }
  opened_ = true;
}

std::optional<std::string> Session::portName() const {
  if (!port_) return std::nullopt;
  return "USB" + std::to_string(*port_);
}

int parseRole(const std::string& text) {
  if (text == "user") return VORN_DAL_USER;
  if (text == "so") return VORN_DAL_SUPER_USER;
  // What stands here may be a PIN typed in the wrong place: never repeat it.
  throw UsageError("role must be 'user' or 'so' (the value given is not shown; PINs are never taken from the "
                   "command line)");
}

void loginIfAsked(const ParsedArgs& args, Session& session) {
  const auto who = args.value("login");
  if (!who) return;
  const int role = parseRole(*who);
  const SecureBytes pin = readPin(args, role == VORN_DAL_USER ? kUserPin : kSuperPin);
  session.open();
  check(VORN_DAL_Login(role, pin.data(), lengthOf(pin)), role == VORN_DAL_USER ? "login as user" : "login as super user");
}

}  // namespace pelu7tool
