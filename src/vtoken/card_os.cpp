#include "vtoken/card_os.h"

#include "vtoken/apdu.h"
#include "vtoken/command_handlers.h"
#include "vtoken/status_words.h"

#include <algorithm>
#include <array>

namespace vtoken {

namespace {

constexpr std::uint8_t kClaIso = 0x00;
constexpr std::uint8_t kClaProprietary = 0x80;

using Handler = Answer (*)(CardState&, const Apdu&);

struct CommandEntry {
  std::uint8_t cla;
  std::uint8_t ins;
  Handler handler;
};

constexpr std::array kCommands = {
    CommandEntry{kClaIso, 0xA4, selectFile},
    CommandEntry{kClaIso, 0xB0, readBinary},
    CommandEntry{kClaIso, 0xD6, updateBinary},
    CommandEntry{kClaProprietary, 0xE0, createFile},
    CommandEntry{kClaProprietary, 0x0E, eraseAll},
    CommandEntry{kClaProprietary, 0xD4, writeKey},
    CommandEntry{kClaIso, 0x84, getChallenge},
    CommandEntry{kClaIso, 0x82, externalAuthenticate},
    CommandEntry{kClaIso, 0x20, verifyPin},
    CommandEntry{kClaProprietary, 0x24, changePin},
    CommandEntry{kClaProprietary, 0x2C, unblockPin},
    CommandEntry{kClaProprietary, 0xCE, generateRsaKey},
    CommandEntry{kClaProprietary, 0xC2, rsaPrivateOperation},
    CommandEntry{kClaProprietary, 0x78, ssf33Command},
};

}  // namespace

Answer processCommand(CardState& state, std::span<const std::uint8_t> command) {
  const auto apdu = parseApdu(command);
  if (!apdu) {
    return statusOnly(kSwWrongLength);
  }
  if (apdu->cla != kClaIso && apdu->cla != kClaProprietary) {
    return statusOnly(kSwUnknownClass);
  }
  const auto entry = std::find_if(kCommands.begin(), kCommands.end(),
                                  [&](const CommandEntry& e) { return e.ins == apdu->ins; });
  if (entry == kCommands.end()) {
    return statusOnly(kSwUnknownInstruction);
  }
  if (entry->cla != apdu->cla) {
    return statusOnly(kSwUnknownClass);
  }
  return entry->handler(state, *apdu);
}

}  // namespace vtoken
