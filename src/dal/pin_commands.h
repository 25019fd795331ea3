// The PIN commands of the card and the one mapping of their answers.
#pragma once

#include <cstdint>

#include "card_layout.h"

namespace pelu7 {

// The two roles that can log in.
struct Role {
  std::uint8_t pinKeyId;  // PIN object verified by login
  int flagFile;           // readable only while the role is logged in
  int blockedCode;        // result when the role's PIN is blocked
};

// The role of a LoginType (1 super user, 2 user), or nullptr for any other value.
const Role* roleOf(int loginType);

// Sends VERIFY of a PIN object with an already derived value; returns the status word.
int verifyPin(std::uint8_t keyId, const PinValue& value);

// Sends CHANGE PIN (old and new derived values) for a PIN object.
int changePin(std::uint8_t keyId, const PinValue& oldValue, const PinValue& newValue);

// Sends UNBLOCK PIN with the unblock key's value and the new user PIN value.
int unblockPin(const PinValue& unlockValue, const PinValue& newValue);

// Maps the answer to a PIN presentation: 0 for 9000, 1..14 tries left for
// 63C1..63CE, blockedCode for 63C0 or 6983, otherCode for anything else.
int mapPinStatus(int status, int blockedCode, int otherCode);

// True when the answer says the PIN was wrong or is blocked (63C0..63CE, 6983).
bool isPinRefusal(int status);

}  // namespace pelu7
