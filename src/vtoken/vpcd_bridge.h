// Attaches a virtual token to pcscd through vpcd, the reader driver for
// virtual cards: the token connects to vpcd over TCP and answers what it
// sends. Every message either way is a 2-byte big-endian length and that many
// bytes. A 1-byte message from vpcd is a control: 0 power off, 1 power on,
// 2 reset, 4 send the ATR (answered with the ATR as a message); the others
// get no answer. Any longer message is a command APDU, answered with the
// response data followed by SW1 SW2.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "vtoken/token.h"
#include "vtoken/virtual_token.h"

namespace vtoken {

class VpcdError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class VpcdEnd {
  kStopped,           // stop became true
  kConnectionClosed,  // vpcd closed the connection
};

// Connects to vpcd at host:port and serves the token until stop becomes true
// (noticed within a fraction of a second) or vpcd closes the connection.
// Power on and reset reset the card. Throws VpcdError when the connection
// cannot be made or fails.
VpcdEnd serveOverVpcd(Token& token, const std::string& host, std::uint16_t port,
                      const std::atomic<bool>& stop);

}  // namespace vtoken
