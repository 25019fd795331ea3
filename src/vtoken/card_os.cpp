#include "card_os.h"

#include <algorithm>
#include <array>

#include "apdu.h"
#include "command_handlers.h"
#include "status_words.h"

namespace vtoken {

namespace {

using card::kClaIso;
using card::kClaProprietary;

using Handler = Answer (*)(CardState&, const Apdu&);

struct CommandEntry {
  std::uint8_t cla;
  std::uint8_t ins;
  Handler handler;
  bool checksSecret = false;
};

constexpr std::array kCommands = {
    CommandEntry{kClaIso, card::kInsSelect, selectFile},
    CommandEntry{kClaIso, card::kInsReadBinary, readBinary},
    CommandEntry{kClaIso, card::kInsUpdateBinary, updateBinary},
    CommandEntry{kClaProprietary, card::kInsCreateFile, createFile},
    CommandEntry{kClaProprietary, card::kInsErase, eraseAll},
    CommandEntry{kClaProprietary, card::kInsWriteKey, writeKey},
    CommandEntry{kClaIso, card::kInsGetChallenge, getChallenge},
    CommandEntry{kClaIso, card::kInsExternalAuthenticate, externalAuthenticate, true},
    CommandEntry{kClaIso, card::kInsVerify, verifyPin, true},
    CommandEntry{kClaProprietary, card::kInsChangePin, changePin, true},
    CommandEntry{kClaProprietary, card::kInsUnblockPin, unblockPin, true},
    CommandEntry{kClaProprietary, card::kInsGenerateRsaKey, generateRsaKey},
    CommandEntry{kClaProprietary, card::kInsRsaPrivate, rsaPrivateOperation},
    CommandEntry{kClaProprietary, card::kInsSsf33, ssf33Command},
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
