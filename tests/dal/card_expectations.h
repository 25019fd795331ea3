// What the card must receive, computed independently of the library (PIN
// values are the first 8 bytes of the SHA-1 digest of the PIN text), and a
// way to script the refusal of commands named by a header of any length.
#pragma once

#include <openssl/sha.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/dal_fixture.h"
#include "support/scripted_card.h"

namespace e2e {

inline std::string derivedPinHex(const std::string& pin) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(pin.data()), pin.size(), digest);
  return testsupport::toHex(digest, 8);
}

inline std::string asciiHex(const std::string& text) {
  return testsupport::toHex(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

inline std::string commandHex(const std::vector<std::uint8_t>& command) {
  return testsupport::toHex(command.data(), command.size());
}

// Every command that starts with prefix (2 to 7 bytes) gets the status.
inline void answerAllWith(testsupport::ScriptedCard& card, const std::vector<std::uint8_t>& p, int status) {
  switch (p.size()) {
    case 2: card.answerAll({p[0], p[1]}, status); return;
    case 3: card.answerAll({p[0], p[1], p[2]}, status); return;
    case 4: card.answerAll({p[0], p[1], p[2], p[3]}, status); return;
    case 5: card.answerAll({p[0], p[1], p[2], p[3], p[4]}, status); return;
    case 6: card.answerAll({p[0], p[1], p[2], p[3], p[4], p[5]}, status); return;
    case 7: card.answerAll({p[0], p[1], p[2], p[3], p[4], p[5], p[6]}, status); return;
    default: throw std::invalid_argument("prefix of 2 to 7 bytes expected");
  }
}

inline bool startsWith(const std::vector<std::uint8_t>& command, const std::vector<std::uint8_t>& prefix) {
  return command.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), command.begin());
}

}  // namespace e2e
