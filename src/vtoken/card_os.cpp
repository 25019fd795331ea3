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
  bool checksSecret = false;
};

constexpr std::array kCommands = {
    CommandEntry{kClaIso, 0xA4, selectFile},
    CommandEntry{kClaIso, 0xB0, readBinary},
    CommandEntry{kClaIso, 0xD6, updateBinary},
    CommandEntry{kClaProprietary, 0xE0, createFile},
    CommandEntry{kClaProprietary, 0x0E, eraseAll},
    CommandEntry{kClaProprietary, 0xD4, writeKey},
    CommandEntry{kClaIso, 0x84, getChallenge},
    CommandEntry{kClaIso, 0x82, externalAuthenticate, true},
    CommandEntry{kClaIso, 0x20, verifyPin, true},
    CommandEntry{kClaProprietary, 0x24, changePin, true},
    CommandEntry{kClaProprietary, 0x2C, unblockPin, true},
    CommandEntry{kClaProprietary, 0xCE, generateRsaKey},
    CommandEntry{kClaProprietary, 0xC2, rsaPrivateOperation},
    CommandEntry{kClaProprietary, 0x78, ssf33Command},
};

const CommandEntry* findCommand(std::uint8_t ins) {
  const auto entry = std::find_if(kCommands.begin(), kCommands.end(),
                                  [&](const CommandEntry& e) { return e.ins == ins; });
  return entry == kCommands.end() ? nullptr : &*entry;
}

}  // namespace

Answer processCommand(CardState& state, std::span<const std::uint8_t> command) {
  const auto apdu = parseApdu(command);
  if (!apdu) {
    return statusOnly(kSwWrongLength);
  }
  if (apdu->cla != kClaIso && apdu->cla != kClaProprietary) {
    return statusOnly(kSwUnknownClass);
  }
  const CommandEntry* entry = findCommand(apdu->ins);
  if (entry == nullptr) {
    return statusOnly(kSwUnknownInstruction);
  }
  if (entry->cla != apdu->cla) {
    return statusOnly(kSwUnknownClass);
  }
  return entry->handler(state, *apdu);
}

bool checksSecret(std::span<const std::uint8_t> command) {
  // Header bytes are read as they stand, so that a command the parser would
  // refuse still counts when in doubt.
  if (command.size() < 2) {
    return false;
  }
  const CommandEntry* entry = findCommand(command[1]);
  return entry != nullptr && entry->checksSecret;
}

}  // namespace vtoken
