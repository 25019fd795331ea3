// Logins belong to this application: the card's login is shared by every
// program on the token, so private-key use needs this application's own
// C_Login whatever the card's state says, and survives other programs'
// logouts (see card_login.h).
#include "card.h"
#include "card_files.h"
#include "card_login.h"
#include "card_view.h"
#include "ck_error.h"
#include "object_store.h"
#include "session_calls.h"

namespace p11 {
namespace {

Role roleOf(CK_USER_TYPE userType) { return userType == CKU_SO ? Role::SecurityOfficer : Role::User; }

// Notes what a PIN check said about the tries left, then throws its error.
void checkPin(const PinCheck& answer, PinTries& tries) {
  switch (answer.outcome) {
    case PinOutcome::Ok:
      tries = PinTries{};
      return;
    case PinOutcome::Wrong:
      tries.left = answer.triesLeft;
      fail(CKR_PIN_INCORRECT);
    case PinOutcome::Locked:
      break;
  }
  tries.locked = true;
  fail(CKR_PIN_LOCKED);
}

void requirePinLength(const unsigned char* pin, CK_ULONG length) {
  require(pin != nullptr, CKR_ARGUMENTS_BAD);
  require(length >= kMinPinLength && length <= kMaxPinLength, CKR_PIN_LEN_RANGE);
}

}  // namespace

void dropLogin(Slot& slot, bool logOutCard) {
  if (slot.login == kNobody) return;
  endLogin(slot);
  if (!logOutCard) return;
  try {
    Card card(slot.portIndex, CardScope::Session);
    card.logout();  // logs out whichever role the card has
  } catch (const CkError&) {
    // A token that is gone has no login left to end.
  }
}

CK_RV login(CK_SESSION_HANDLE handle, CK_USER_TYPE userType, const unsigned char* pin, CK_ULONG pinLength) {
  const Session& session = sessionByHandle(handle);
  Slot& slot = slotById(session.slot);
  // No key of this token needs a login per operation.
  require(userType != CKU_CONTEXT_SPECIFIC, CKR_OPERATION_NOT_INITIALIZED);
  require(userType == CKU_USER || userType == CKU_SO, CKR_USER_TYPE_INVALID);
  require(slot.login != userType, CKR_USER_ALREADY_LOGGED_IN);
  require(slot.login == kNobody, CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
  require(pin != nullptr, CKR_ARGUMENTS_BAD);
  require(pinLength <= kMaxPinLength, CKR_PIN_LEN_RANGE);
  if (userType == CKU_SO) {
    for (const auto& [other, each] : state().sessions) {
      require(each.slot != slot.id || each.readWrite, CKR_SESSION_READ_ONLY_EXISTS);
    }
  } else if (slot.token && !slot.token->userPinSet) {
    fail(CKR_USER_PIN_NOT_INITIALIZED);
  }
  Card card(slot.portIndex, CardScope::Session);
  const TokenIdentity identity = currentIdentity(card, slot);
  const Role role = roleOf(userType);
  // The generation before the check: a change after it is one this PIN missed.
  const auto generation = platform::pinGeneration(identity, pinRoleOf(role));
  const PinCheck answer = card.verify(role, pin, pinLength);
  notePinCheck(identity, role, answer);
  checkPin(answer, userType == CKU_SO ? slot.soTries : slot.userTries);
  slot.pin.assign(pin, pinLength);
  slot.login = userType;
  slot.loginIdentity = identity;
  slot.pinGeneration = generation;
  return CKR_OK;
}

CK_RV logout(CK_SESSION_HANDLE handle) {
  const Session& session = sessionByHandle(handle);
  Slot& slot = slotById(session.slot);
  require(slot.login != kNobody, CKR_USER_NOT_LOGGED_IN);
  dropLogin(slot, true);
  return CKR_OK;
}

CK_RV initPin(CK_SESSION_HANDLE handle, const unsigned char* pin, CK_ULONG pinLength) {
  const Session& session = sessionByHandle(handle);
  Slot& slot = slotById(session.slot);
  require(slot.login == CKU_SO, CKR_USER_NOT_LOGGED_IN);
  require(session.readWrite, CKR_SESSION_READ_ONLY);
  requirePinLength(pin, pinLength);
  Card card(slot.portIndex, CardScope::Session);
  const TokenIdentity identity = currentIdentity(card, slot);
  require(slot.login == CKU_SO, CKR_USER_NOT_LOGGED_IN);  // another token ended it
  // Unblocking with the SO PIN sets the user PIN whether it was blocked or not.
  const PinCheck answer = card.unblockUserPin(slot.pin.data(), slot.pin.size(), pin, pinLength);
  notePinCheck(identity, Role::SecurityOfficer, answer);
  checkPin(answer, slot.soTries);
  slot.userTries = PinTries{};
  notePinChange(slot, identity, Role::User, pin, pinLength);
  FileState infoState = FileState::Absent;
  auto info = readTokenInfo(card, &infoState);
  if (info && !info->userPinSet) {
    info->userPinSet = true;
    ensureCardLogin(card, slot);  // the unblock verified the SO PIN; another program may have come between
    writeTokenInfo(card, *info);
  }
  refreshToken(card, slot);
  return CKR_OK;
}

CK_RV setPin(CK_SESSION_HANDLE handle, const unsigned char* oldPin, CK_ULONG oldLength, const unsigned char* newPin,
             CK_ULONG newLength) {
  const Session& session = sessionByHandle(handle);
  Slot& slot = slotById(session.slot);
  require(session.readWrite, CKR_SESSION_READ_ONLY);
  require(oldPin != nullptr && oldLength <= kMaxPinLength, CKR_ARGUMENTS_BAD);
  requirePinLength(newPin, newLength);
  Card card(slot.portIndex, CardScope::Session);
  const TokenIdentity identity = currentIdentity(card, slot);
  const CK_USER_TYPE role = slot.login == CKU_SO ? CKU_SO : CKU_USER;
  const PinCheck answer = card.changePin(roleOf(role), oldPin, oldLength, newPin, newLength);
  notePinCheck(identity, roleOf(role), answer);
  checkPin(answer, role == CKU_SO ? slot.soTries : slot.userTries);
  // Every program learns of it; a login of this application goes on with
  // the new PIN.
  notePinChange(slot, identity, roleOf(role), newPin, newLength);
  return CKR_OK;
}

}  // namespace p11
