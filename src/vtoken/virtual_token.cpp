#include "vtoken/virtual_token.h"

#include "describe.h"
#include "vtoken/token.h"

namespace vtoken {

void createTokenFile(const std::string& path, bool ssf33) {
  TokenOptions options;
  options.ssf33 = ssf33;
  Token::openFile(path, options);
}

std::string describeTokenFileAsText(const std::string& path) { return formatDescription(describeTokenFile(path)); }

}  // namespace vtoken
