// The card operating system: turns one command APDU into an answer by
// dispatching on the instruction byte to the command handlers.
#pragma once

#include <cstdint>
#include <span>

#include "card_state.h"
#include "vtoken/token.h"

namespace vtoken {

// Processes one command against the card state. Malformed and refused
// commands become status words; a failure of the machinery underneath (no
// memory, a failing OpenSSL call) is thrown, and the caller answers 6F00 with
// the state as it was before the command.
Answer processCommand(CardState& state, std::span<const std::uint8_t> command);

// True for the commands that compare a presented secret with a key object
// and count its tries (VERIFY, CHANGE PIN, UNBLOCK PIN, EXTERNAL
// AUTHENTICATE). Their outcome must be recorded before it is answered, even
// when it changes nothing: a card that cannot record a failure must not tell
// a right secret from a wrong one.
bool checksSecret(std::span<const std::uint8_t> command);

}  // namespace vtoken
