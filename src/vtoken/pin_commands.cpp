// VERIFY, CHANGE PIN and UNBLOCK PIN on the PIN and unblock objects of the key
// file. Values are compared in constant time; every wrong value counts the
// object's error counter down, and a blocked object refuses even the right one.
#include <openssl/crypto.h>

#include "command_handlers.h"
#include "status_words.h"

namespace vtoken {

namespace {

constexpr std::size_t kPinLength = 8;
// UNBLOCK PIN is admitted only in security state C, the card's administrator
// state.
constexpr std::uint8_t kUnblockState = 0x0C;

bool sameValue(const KeyObject& key, std::span<const std::uint8_t> presented) {
  return key.value.size() == presented.size() &&
         CRYPTO_memcmp(key.value.data(), presented.data(), presented.size()) == 0;
}

KeyObject* findKeyOfType(CardState& state, std::uint8_t keyId, std::uint8_t type) {
  KeyObject* key = state.findKey(keyId);
  return key != nullptr && key->type == type ? key : nullptr;
}

}  // namespace

// A right PIN sets the security state the object names and resets its
// counter. A wrong one answers 63Cx and leaves the security state unchanged.
// VERIFY without data only reports the tries left (63Cx, or 6983 if blocked).
Answer verifyPin(CardState& state, const Apdu& apdu) {
  if (apdu.p1 != 0x00) {
    return statusOnly(kSwWrongP1P2);
  }
  if (apdu.hasData() && apdu.data.size() != kPinLength) {
    return statusOnly(kSwWrongLength);
  }
  KeyObject* pin = findKeyOfType(state, apdu.p2, kKeyTypePin);
  if (pin == nullptr) {
    return statusOnly(kSwReferenceNotFound);
  }
  if (pin->blocked()) {
    return statusOnly(kSwBlocked);
  }
  if (!apdu.hasData()) {
    return statusOnly(swTriesLeft(pin->triesLeft()));
  }
  if (!sameValue(*pin, apdu.data)) {
    return statusOnly(swTriesLeft(pin->countFailure()));
  }
  pin->resetCounter();
  state.securityState = pin->targetState();
  return statusOnly(kSwOk);
}

// Data: old value, new value. The old value is checked like VERIFY; a change
// does not alter the security state.
Answer changePin(CardState& state, const Apdu& apdu) {
  if (apdu.p1 != 0x00) {
    return statusOnly(kSwWrongP1P2);
  }
  if (apdu.data.size() != 2 * kPinLength) {
    return statusOnly(kSwWrongLength);
  }
  KeyObject* pin = findKeyOfType(state, apdu.p2, kKeyTypePin);
  if (pin == nullptr) {
    return statusOnly(kSwReferenceNotFound);
  }
  if (pin->blocked()) {
    return statusOnly(kSwBlocked);
  }
  if (!sameValue(*pin, apdu.data.first(kPinLength))) {
    return statusOnly(swTriesLeft(pin->countFailure()));
  }
  pin->value.assign(apdu.data.begin() + kPinLength, apdu.data.end());
  pin->resetCounter();
  return statusOnly(kSwOk);
}

// Data: unblock value, new PIN value. P2 names the unblock object, whose third
// attribute byte names the PIN object it unblocks. A wrong unblock value
// counts the unblock object's own counter down; a right one gives the PIN
// object the new value and its full counter.
Answer unblockPin(CardState& state, const Apdu& apdu) {
  if (apdu.p1 != 0x00) {
    return statusOnly(kSwWrongP1P2);
  }
  if (apdu.data.size() != 2 * kPinLength) {
    return statusOnly(kSwWrongLength);
  }
  if (state.securityState != kUnblockState) {
    return statusOnly(kSwSecurityNotSatisfied);
  }
  KeyObject* unblock = findKeyOfType(state, apdu.p2, kKeyTypeUnblock);
  if (unblock == nullptr) {
    return statusOnly(kSwReferenceNotFound);
  }
  if (unblock->blocked()) {
    return statusOnly(kSwBlocked);
  }
  KeyObject* pin = findKeyOfType(state, unblock->attributes[2], kKeyTypePin);
  if (pin == nullptr) {
    return statusOnly(kSwReferenceNotFound);
  }
  if (!sameValue(*unblock, apdu.data.first(kPinLength))) {
    return statusOnly(swTriesLeft(unblock->countFailure()));
  }
  unblock->resetCounter();
  pin->value.assign(apdu.data.begin() + kPinLength, apdu.data.end());
  pin->resetCounter();
  return statusOnly(kSwOk);
}

}  // namespace vtoken
