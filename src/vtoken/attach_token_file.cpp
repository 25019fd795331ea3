// Serving a token file to pcscd through vpcd (POSIX systems only, like the
// vpcd bridge it uses).
#include "vpcd_bridge.h"
#include "vtoken/token.h"
#include "vtoken/virtual_token.h"

namespace vtoken {

AttachEnd attachTokenFile(const std::string& path, const std::string& host, std::uint16_t port,
                          const std::atomic<bool>& stop) {
  const auto token = Token::openFile(path);
  return serveOverVpcd(*token, host, port, stop) == VpcdEnd::kStopped ? AttachEnd::kStopped
                                                                      : AttachEnd::kConnectionClosed;
}

}  // namespace vtoken
