#include "vtoken/virtual_token.h"

#include "describe.h"
#include "vpcd_bridge.h"
#include "vtoken/token.h"

namespace vtoken {

void createTokenFile(const std::string& path, bool ssf33) {
  TokenOptions options;
  options.ssf33 = ssf33;
  Token::openFile(path, options);
}

std::string describeTokenFileAsText(const std::string& path) { return formatDescription(describeTokenFile(path)); }

AttachEnd attachTokenFile(const std::string& path, const std::string& host, std::uint16_t port,
                          const std::atomic<bool>& stop) {
  const auto token = Token::openFile(path);
  return serveOverVpcd(*token, host, port, stop) == VpcdEnd::kStopped ? AttachEnd::kStopped
                                                                      : AttachEnd::kConnectionClosed;
}

}  // namespace vtoken
