// Virtual token files through the tool: creation, a description without
// secrets, and attaching a token to a vpcd endpoint played by the test.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/sha.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <vector>

#include "tool_fixture.h"

namespace tooltest {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST_F(ToolTest, CreatedTokenIsFactoryFreshAndNotReplaced) {
  RunResult r = pelu7Bare({"vtoken", "create", token()});
  ASSERT_EQ(r.status, 0) << describe(r);
  r = pelu7Bare({"vtoken", "show", token()});
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_THAT(r.out, HasSubstr("files: 1\n"));
  EXPECT_THAT(r.out, HasSubstr("key objects: 1\n"));

  formatToken();
  r = pelu7Bare({"vtoken", "create", token()});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("already exists"));
  EXPECT_THAT(pelu7({"status"}).out, HasSubstr("formatted:             yes"));
}

TEST_F(ToolTest, ShowTellsTriesLeftButNoPinValue) {
  formatToken();
  ASSERT_EQ(pelu7({"login", "--pin-env", "WRONG_PIN"}).status, 3);
  const RunResult r = pelu7Bare({"vtoken", "show", token()});
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_THAT(r.out, HasSubstr("5 of 6 tries left"));
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(kUserPin), 8, digest);
  const std::string value = testsupport::toHex(digest, 8);
  EXPECT_THAT(r.out, Not(HasSubstr(value)));
  EXPECT_THAT(r.out, Not(HasSubstr(value.substr(0, 2) + " " + value.substr(2, 2))));
}

TEST_F(ToolTest, TokenWithoutSsf33IsReportedSo) {
  ASSERT_EQ(pelu7Bare({"vtoken", "create", token(), "--no-ssf33"}).status, 0);
  RunResult r = pelu7({"status"});
  EXPECT_THAT(r.out, HasSubstr("SSF33:                 not supported"));
  r = pelu7({"encrypt", "--alg", "ssf33", "--key", "00112233445566778899aabbccddeeff", "--in-hex", "00"});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("error -10: 此功能不支持"));
}

// The vpcd end of the connection: a listening socket on a free local port.
// Waits are bounded so that a broken bridge fails the test instead of hanging it.
class FakeVpcd {
 public:
  static constexpr int kGuardMilliseconds = 30000;

  FakeVpcd() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener_, 1) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen");
    }
    port_ = ntohs(address.sin_port);
  }
  ~FakeVpcd() {
    if (connection_ >= 0) close(connection_);
    close(listener_);
  }
  std::uint16_t port() const { return port_; }

  void accept() {
    pollfd waiting{listener_, POLLIN, 0};
    if (poll(&waiting, 1, kGuardMilliseconds) != 1) throw std::runtime_error("the bridge did not connect");
    connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection_ < 0) throw std::runtime_error("accept failed");
    timeval limit{kGuardMilliseconds / 1000, 0};
    setsockopt(connection_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }

  std::vector<std::uint8_t> exchange(const std::vector<std::uint8_t>& message) {
    post(message);
    const std::vector<std::uint8_t> header = receive(2);
    return receive(static_cast<std::size_t>(header[0] << 8 | header[1]));
  }

  // Sends one message: its 2-byte big-endian length, then the bytes.
  void post(const std::vector<std::uint8_t>& message) {
    std::vector<std::uint8_t> framed{static_cast<std::uint8_t>(message.size() >> 8),
                                     static_cast<std::uint8_t>(message.size())};
    framed.insert(framed.end(), message.begin(), message.end());
    if (send(connection_, framed.data(), framed.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(framed.size())) {
      throw std::runtime_error("send failed");
    }
  }

 private:
  std::vector<std::uint8_t> receive(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    std::size_t got = 0;
    while (got < count) {
      const ssize_t n = recv(connection_, bytes.data() + got, count - got, 0);
      if (n <= 0) throw std::runtime_error("the bridge did not answer");
      got += static_cast<std::size_t>(n);
    }
    return bytes;
  }

  int listener_ = -1;
  int connection_ = -1;
  std::uint16_t port_ = 0;
};

TEST_F(ToolTest, AttachServesTheTokenToVpcdUntilTerminated) {
  formatToken();
  FakeVpcd vpcd;
  Child attach({toolPath(), "vtoken", "attach", token(), "--vpcd-port", std::to_string(vpcd.port())}, {});
  vpcd.accept();
  vpcd.post({0x01});  // power on
  const std::vector<std::uint8_t> atr = vpcd.exchange({0x04});
  ASSERT_FALSE(atr.empty());
  EXPECT_EQ(atr[0], 0x3B);
  const std::vector<std::uint8_t> challenge = vpcd.exchange({0x00, 0x84, 0x00, 0x00, 0x08});
  ASSERT_EQ(challenge.size(), 10u);
  EXPECT_EQ(challenge[8], 0x90);
  EXPECT_EQ(challenge[9], 0x00);

  attach.signal(SIGTERM);
  const RunResult r = attach.finish();
  EXPECT_EQ(r.status, 0) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("stopped"));
}

TEST_F(ToolTest, AttachWithoutVpcdFails) {
  std::uint16_t closedPort = 0;
  {
    FakeVpcd nobody;
    closedPort = nobody.port();
  }
  const RunResult r = pelu7Bare({"vtoken", "attach", token(), "--vpcd-port", std::to_string(closedPort)});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("cannot connect"));
}

}  // namespace
}  // namespace tooltest
