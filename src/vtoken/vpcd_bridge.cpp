#include "vpcd_bridge.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <span>
#include <vector>

namespace vtoken {

namespace {

constexpr int kStopCheckMillis = 100;
constexpr std::uint8_t kPowerOff = 0;
constexpr std::uint8_t kPowerOn = 1;
constexpr std::uint8_t kReset = 2;
constexpr std::uint8_t kGetAtr = 4;

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

enum class ReadResult { kOk, kStopped, kClosed };

// vpcd writes the 2-byte length and the message as two writes without
// TCP_NODELAY, so the message waits until the length is acknowledged. With
// delayed acknowledgements that costs about 40 ms per command; quick
// acknowledgements release it at once. The kernel leaves quick-ack mode on its
// own, so it is asked for again after every receive.
void acknowledgeQuickly(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

[[noreturn]] void failErrno(const std::string& what) {
  throw VpcdError("vpcd connection: " + what + ": " + std::strerror(errno));
}

int connectTo(const std::string& host, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
    throw VpcdError("vpcd connection: cannot resolve " + host + ": " + ::gai_strerror(rc));
  }
  int lastErrno = 0;
  int fd = -1;
  for (const addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      lastErrno = errno;
      continue;
    }
    int rc;
    do {
      rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      lastErrno = errno;
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) {
    throw VpcdError("vpcd connection: cannot connect to " + host + ":" + service + ": " +
                    std::strerror(lastErrno));
  }
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  acknowledgeQuickly(fd);
  return fd;
}

// Reads exactly out.size() bytes, looking at stop between waits.
ReadResult readExact(int fd, std::span<std::uint8_t> out, const std::atomic<bool>& stop) {
  std::size_t have = 0;
  while (have < out.size()) {
    if (stop.load()) {
      return ReadResult::kStopped;
    }
    pollfd waitFor{fd, POLLIN, 0};
    const int ready = ::poll(&waitFor, 1, kStopCheckMillis);
    if (ready < 0 && errno != EINTR) {
      failErrno("poll failed");
    }
    if (ready <= 0) {
      continue;
    }
    const ssize_t got = ::recv(fd, out.data() + have, out.size() - have, 0);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
        continue;
      }
      if (errno == ECONNRESET) {
        return ReadResult::kClosed;
      }
      failErrno("receive failed");
    }
    if (got == 0) {
      return ReadResult::kClosed;
    }
    have += static_cast<std::size_t>(got);
    acknowledgeQuickly(fd);
  }
  return ReadResult::kOk;
}

// Messages carry PINs and keys: every copy is wiping.
void writeMessage(int fd, std::span<const std::uint8_t> payload) {
  common::SecureBytes message;
  message.reserve(payload.size() + 2);
  message.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
  message.push_back(static_cast<std::uint8_t>(payload.size()));
  message.insert(message.end(), payload.begin(), payload.end());
  std::size_t done = 0;
  while (done < message.size()) {
    const ssize_t put = ::send(fd, message.data() + done, message.size() - done, MSG_NOSIGNAL);
    if (put < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
        continue;
      }
      failErrno("send failed");
    }
    done += static_cast<std::size_t>(put);
  }
}

void handleControl(Token& token, int fd, std::uint8_t control) {
  switch (control) {
    case kPowerOn:
    case kReset:
      token.reset();
      break;
    case kGetAtr:
      writeMessage(fd, token.atr());
      break;
    case kPowerOff:
    default:
      break;
  }
}

}  // namespace

VpcdEnd serveOverVpcd(Token& token, const std::string& host, std::uint16_t port,
                      const std::atomic<bool>& stop) {
  const Socket socket(connectTo(host, port));
  common::SecureBytes message;
  while (true) {
    std::array<std::uint8_t, 2> header{};
    ReadResult result = readExact(socket.get(), header, stop);
    if (result == ReadResult::kOk) {
      message.assign(static_cast<std::size_t>(header[0] << 8 | header[1]), 0);
      result = readExact(socket.get(), message, stop);
    }
    if (result == ReadResult::kStopped) {
      return VpcdEnd::kStopped;
    }
    if (result == ReadResult::kClosed) {
      return VpcdEnd::kConnectionClosed;
    }
    if (message.size() == 1) {
      handleControl(token, socket.get(), message[0]);
    } else if (!message.empty()) {
      const Answer answer = token.transmit(message);
      common::SecureBytes response = answer.data;
      response.push_back(static_cast<std::uint8_t>(answer.sw >> 8));
      response.push_back(static_cast<std::uint8_t>(answer.sw));
      writeMessage(socket.get(), response);
    }
  }
}

}  // namespace vtoken
