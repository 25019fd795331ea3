#include "pin_input.h"

#include <fcntl.h>
#include <unistd.h>
#ifndef _WIN32
#include <termios.h>
#endif

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tool_errors.h"

namespace pelu7tool {
namespace {

// A stack buffer for one line of PIN text, cleansed on scope exit.
struct LineBuffer {
  std::array<std::uint8_t, kMaxPinLength + 2> bytes{};
  std::size_t length = 0;
  ~LineBuffer() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

SecureBytes toPin(const std::uint8_t* data, std::size_t length, const PinRole& role) {
  if (length > kMaxPinLength) {
    throw UsageError(std::string(role.prompt) + " is longer than " + std::to_string(kMaxPinLength) + " bytes");
  }
  SecureBytes pin(length);
  if (length > 0) std::memcpy(pin.data(), data, length);
  return pin;
}

// The first line of the file, without its line end.
SecureBytes pinFromFile(const std::string& path, const PinRole& role) {
#ifdef _WIN32
  const int fd = ::open(path.c_str(), O_RDONLY | O_BINARY);
#else
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
#endif
  if (fd < 0) throw ToolError("cannot open PIN file " + path + ": " + std::strerror(errno));
  LineBuffer line;
  bool ended = false;
  while (!ended && line.length < line.bytes.size()) {
    const ssize_t n = ::read(fd, line.bytes.data() + line.length, line.bytes.size() - line.length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      throw ToolError("cannot read PIN file " + path + ": " + std::strerror(errno));
    }
    if (n == 0) break;
    for (ssize_t i = 0; i < n && !ended; ++i) {
      if (line.bytes[line.length] == '\n') {
        ended = true;
      } else {
        ++line.length;
      }
    }
  }
  ::close(fd);
  if (line.length > 0 && line.bytes[line.length - 1] == '\r') --line.length;
  return toPin(line.bytes.data(), line.length, role);
}

#ifdef _WIN32
// The Windows tool asks no PIN on the console: it takes them from the
// environment or a file.
SecureBytes pinFromTerminal(const PinRole& role, bool) {
  throw UsageError("pelu7.exe does not prompt for the " + std::string(role.prompt) + ": use --" +
                   std::string(role.envOption) + " NAME or --" + std::string(role.fileOption) + " PATH");
}
#else
// The terminal settings to put back if the user interrupts the prompt.
int ttyForRestore = -1;
struct termios savedTermios {};

void restoreAndReraise(int signal) {
  if (ttyForRestore >= 0) tcsetattr(ttyForRestore, TCSAFLUSH, &savedTermios);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// Asks once on the terminal with echo off.
SecureBytes promptOnce(int tty, const std::string& prompt, const PinRole& role) {
  const std::string text = prompt + ": ";
  if (::write(tty, text.data(), text.size()) < 0) throw ToolError("cannot write to the terminal");
  struct termios quiet {};
  const bool isTerminal = tcgetattr(tty, &savedTermios) == 0;
  if (isTerminal) {
    quiet = savedTermios;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    ttyForRestore = tty;
    std::signal(SIGINT, restoreAndReraise);
    std::signal(SIGTERM, restoreAndReraise);
    tcsetattr(tty, TCSAFLUSH, &quiet);
  }
  LineBuffer line;
  bool tooLong = false;
  for (;;) {
    std::uint8_t c = 0;
    const ssize_t n = ::read(tty, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') break;
    if (line.length < line.bytes.size()) {
      line.bytes[line.length++] = c;
    } else {
      tooLong = true;
    }
    c = 0;
  }
  if (isTerminal) {
    tcsetattr(tty, TCSAFLUSH, &savedTermios);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    ttyForRestore = -1;
  }
  if (line.length > 0 && line.bytes[line.length - 1] == '\r') --line.length;
  if (tooLong) line.length = line.bytes.size();
  return toPin(line.bytes.data(), line.length, role);
}

SecureBytes pinFromTerminal(const PinRole& role, bool isNewPin) {
  const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (tty < 0) {
    throw UsageError("no terminal to ask for the " + std::string(role.prompt) + ": use --" +
                     std::string(role.envOption) + " NAME or --" + std::string(role.fileOption) + " PATH");
  }
  try {
    SecureBytes pin = promptOnce(tty, std::string(role.prompt), role);
    if (isNewPin) {
      SecureBytes again = promptOnce(tty, "Repeat " + std::string(role.prompt), role);
      if (again.size() != pin.size() || CRYPTO_memcmp(again.data(), pin.data(), pin.size()) != 0) {
        throw UsageError("the two entries of the " + std::string(role.prompt) + " differ");
      }
    }
    ::close(tty);
    return pin;
  } catch (...) {
    ::close(tty);
    throw;
  }
}
#endif

}  // namespace

SecureBytes readPin(const ParsedArgs& args, const PinRole& role, bool isNewPin) {
  const auto envName = args.value(role.envOption);
  const auto filePath = args.value(role.fileOption);
  if (envName && filePath) {
    throw UsageError("give either --" + std::string(role.envOption) + " or --" + std::string(role.fileOption));
  }
  SecureBytes pin;
  if (envName) {
    const char* value = std::getenv(envName->c_str());
    if (value == nullptr) throw UsageError("environment variable " + *envName + " is not set");
    pin = toPin(reinterpret_cast<const std::uint8_t*>(value), std::strlen(value), role);
  } else if (filePath) {
    pin = pinFromFile(*filePath, role);
  } else {
    pin = pinFromTerminal(role, isNewPin);
  }
  if (isNewPin && pin.empty()) throw UsageError("the " + std::string(role.prompt) + " must not be empty");
  return pin;
}

}  // namespace pelu7tool
