// The handlers of the card's commands, one per instruction. Each checks its
// parameters, applies the access conditions, changes the card state and
// answers with data and a status word.
#pragma once

#include <cstdint>

#include "apdu.h"
#include "card_state.h"
#include "vtoken/token.h"

namespace vtoken {

inline Answer statusOnly(std::uint16_t sw) { return Answer{{}, sw}; }

// File system (file_commands.cpp).
Answer selectFile(CardState& state, const Apdu& apdu);
Answer readBinary(CardState& state, const Apdu& apdu);
Answer updateBinary(CardState& state, const Apdu& apdu);
Answer createFile(CardState& state, const Apdu& apdu);
Answer eraseAll(CardState& state, const Apdu& apdu);

// Authentication and secrets (auth_commands.cpp, pin_commands.cpp).
Answer getChallenge(CardState& state, const Apdu& apdu);
Answer externalAuthenticate(CardState& state, const Apdu& apdu);
Answer writeKey(CardState& state, const Apdu& apdu);
Answer verifyPin(CardState& state, const Apdu& apdu);
Answer changePin(CardState& state, const Apdu& apdu);
Answer unblockPin(CardState& state, const Apdu& apdu);

// RSA (rsa_commands.cpp).
Answer generateRsaKey(CardState& state, const Apdu& apdu);
Answer rsaPrivateOperation(CardState& state, const Apdu& apdu);

// SSF33 (ssf33_commands.cpp).
Answer ssf33Command(CardState& state, const Apdu& apdu);

}  // namespace vtoken
