// The vpcd bridge against a fake vpcd: a TCP listener on the loopback that
// plays pcscd's side of the protocol.
#include "vtoken/vpcd_bridge.h"
#include "vtoken_test_util.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <future>
#include <thread>

namespace vtoken::testing {
namespace {

class FakeVpcd {
 public:
  FakeVpcd() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_, 1), 0);
    socklen_t length = sizeof address;
    EXPECT_EQ(::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    port_ = ntohs(address.sin_port);
  }
  ~FakeVpcd() {
    closeConnection();
    ::close(listener_);
  }
  std::uint16_t port() const { return port_; }
  void accept() { connection_ = ::accept(listener_, nullptr, nullptr); }
  void closeConnection() {
    if (connection_ >= 0) {
      ::close(connection_);
      connection_ = -1;
    }
  }
  // Sends one message, split into single bytes to exercise short reads.
  void send(const Bytes& payload, bool byteByByte = false) {
    Bytes message = concat({static_cast<std::uint8_t>(payload.size() >> 8), static_cast<std::uint8_t>(payload.size())},
                           payload);
    if (byteByByte) {
      for (const std::uint8_t b : message) {
        ASSERT_EQ(::send(connection_, &b, 1, 0), 1);
      }
    } else {
      ASSERT_EQ(::send(connection_, message.data(), message.size(), 0), static_cast<ssize_t>(message.size()));
    }
  }
  Bytes receive() {
    Bytes header = readExact(2);
    return readExact(static_cast<std::size_t>(header[0] << 8 | header[1]));
  }

 private:
  Bytes readExact(std::size_t count) {
    Bytes out(count);
    std::size_t have = 0;
    while (have < count) {
      const ssize_t got = ::recv(connection_, out.data() + have, count - have, 0);
      if (got <= 0) {
        ADD_FAILURE() << "connection ended early";
        return {};
      }
      have += static_cast<std::size_t>(got);
    }
    return out;
  }

  int listener_ = -1;
  int connection_ = -1;
  std::uint16_t port_ = 0;
};

class VpcdBridgeTest : public ::testing::Test {
 protected:
  void startBridge() {
    bridge = std::async(std::launch::async,
                        [this] { return serveOverVpcd(*token, "127.0.0.1", vpcd.port(), stop); });
    vpcd.accept();
  }
  FakeVpcd vpcd;
  std::unique_ptr<Token> token = Token::inMemory();
  std::atomic<bool> stop{false};
  std::future<VpcdEnd> bridge;
};

TEST_F(VpcdBridgeTest, AnswersControlsAndCommands) {
  startBridge();
  vpcd.send({0x01});  // power on: no answer
  vpcd.send({0x04});
  EXPECT_EQ(vpcd.receive(), token->atr());
  vpcd.send(fromHex("00A40000021FF4"), true);
  EXPECT_EQ(toHex(vpcd.receive()), "6A82");
  vpcd.send(fromHex("0084000008"));
  const Bytes challenge = vpcd.receive();
  ASSERT_EQ(challenge.size(), 10u);
  EXPECT_EQ(toHex(Bytes(challenge.end() - 2, challenge.end())), "9000");
  // The challenge is the one the card keeps: it authenticates.
  const Bytes cryptogram = tripleDes(kTransportKey, Bytes(challenge.begin(), challenge.begin() + 8));
  vpcd.send(concat(fromHex("0082000008"), cryptogram));
  EXPECT_EQ(toHex(vpcd.receive()), "9000");
  vpcd.send({0x02});  // reset: the right to erase is gone
  vpcd.send(fromHex("800E000000"));
  EXPECT_EQ(toHex(vpcd.receive()), "6982");
  vpcd.closeConnection();
  EXPECT_EQ(bridge.get(), VpcdEnd::kConnectionClosed);
}

TEST_F(VpcdBridgeTest, StopsWhenAsked) {
  startBridge();
  vpcd.send({0x04});
  EXPECT_EQ(vpcd.receive(), token->atr());
  stop = true;
  EXPECT_EQ(bridge.get(), VpcdEnd::kStopped);
}

TEST(VpcdBridge, NoListenerIsAnError) {
  // Take a free port and close it again, so that nobody listens there.
  std::uint16_t port = 0;
  {
    FakeVpcd closed;
    port = closed.port();
  }
  const auto token = Token::inMemory();
  std::atomic<bool> stop{false};
  EXPECT_THROW(serveOverVpcd(*token, "127.0.0.1", port, stop), VpcdError);
}

}  // namespace
}  // namespace vtoken::testing
