#include "data_io.h"

#include <fcntl.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#endif

#include <cctype>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "tool_errors.h"

// Windows opens files in text mode unless told otherwise, and knows no
// close-on-exec flag (its handles are not inherited by default).
#ifdef _WIN32
constexpr int kOpenFlags = O_BINARY;
#else
constexpr int kOpenFlags = O_CLOEXEC;
#endif

namespace pelu7tool {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Counts the hex digits of text, or throws when it holds anything else. A
// secret is never quoted in the message, only where it goes wrong.
std::size_t countHexDigits(std::string_view text, std::string_view what, bool secret) {
  std::size_t digits = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    if (hexValue(c) >= 0) {
      ++digits;
      continue;
    }
    if (secret) {
      throw UsageError(std::string(what) + " is not hex: character " + std::to_string(i + 1) +
                       " is not a hex digit (the value is not shown)");
    }
    throw UsageError(std::string(what) + " is not hex: '" + std::string(text) + "'");
  }
  if (digits % 2 != 0) throw UsageError(std::string(what) + " has an odd number of hex digits");
  return digits;
}

void decodeHex(std::string_view text, std::uint8_t* out) {
  int high = -1;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    if (high < 0) {
      high = hexValue(c);
    } else {
      *out++ = static_cast<std::uint8_t>(high << 4 | hexValue(c));
      high = -1;
    }
  }
}

std::string describeErrno(const std::string& what, const std::string& path) {
  return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

void writeAll(int fd, const std::uint8_t* data, std::size_t size, const std::string& path) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw ToolError(describeErrno("write", path));
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

std::string toHex(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    text.push_back(kHexDigits[b >> 4]);
    text.push_back(kHexDigits[b & 0x0F]);
  }
  return text;
}

Bytes fromHex(std::string_view text, std::string_view what) {
  Bytes bytes(countHexDigits(text, what, false) / 2);
  decodeHex(text, bytes.data());
  return bytes;
}

SecureBytes secretFromHex(std::string_view text, std::string_view what) {
  SecureBytes bytes(countHexDigits(text, what, true) / 2);
  decodeHex(text, bytes.data());
  return bytes;
}

Bytes readFile(const std::string& path) {
  const bool isStdin = path == "-";
#ifdef _WIN32
  if (isStdin) _setmode(STDIN_FILENO, O_BINARY);
#endif
  const int fd = isStdin ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | kOpenFlags);
  if (fd < 0) throw ToolError(describeErrno("open", path));
  Bytes bytes;
  std::uint8_t chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const std::string message = describeErrno("read", path);
      if (!isStdin) ::close(fd);
      throw ToolError(message);
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  if (!isStdin) ::close(fd);
  return bytes;
}

void writeFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  if (path == "-") {
    std::cout.flush();
#ifdef _WIN32
    _setmode(STDOUT_FILENO, O_BINARY);
#endif
    writeAll(STDOUT_FILENO, bytes.data(), bytes.size(), "stdout");
    return;
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | kOpenFlags, 0644);
  if (fd < 0) throw ToolError(describeErrno("create", path));
  try {
    writeAll(fd, bytes.data(), bytes.size(), path);
  } catch (...) {
    ::close(fd);
    throw;
  }
  if (::close(fd) != 0) throw ToolError(describeErrno("write", path));
}

Bytes readInput(const ParsedArgs& args) {
  const auto file = args.value("in");
  const auto hex = args.value("in-hex");
  if (file && hex) throw UsageError("give either --in or --in-hex, not both");
  if (hex) return fromHex(*hex, "--in-hex");
  return readFile(file.value_or("-"));
}

void writeOutput(const ParsedArgs& args, std::span<const std::uint8_t> bytes) {
  const std::string path = args.value("out").value_or("-");
  if (args.has("hex")) {
    const std::string text = toHex(bytes) + "\n";
    writeFile(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  } else {
    writeFile(path, bytes);
  }
}

}  // namespace pelu7tool
