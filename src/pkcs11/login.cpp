// Logins belong to this application: the card's login is shared by every
// program on the token, so private-key use needs this application's own
// C_Login whatever the card's state says.
#include "card_files.h"
#include "ck_error.h"
#include "dal_adapter.h"
#include "session_calls.h"
#include "vorn_dal_pelu7.h"

namespace p11 {
namespace {

int dalRole(CK_USER_TYPE userType) { return userType == CKU_SO ? VORN_DAL_SUPER_USER : VORN_DAL_USER; }

// Notes what a PIN check said about the tries left, then throws its error.
void checkPinResult(int rc, PinTries& tries) {
  if (rc == 0) {
    tries = PinTries{};
    return;
  }
  if (rc > 0) tries.left = rc;
  if (rc == VORN_DAL_ERR_USER_PIN_LOCKED || rc == VORN_DAL_ERR_SUPER_PIN_LOCKED) tries.locked = true;
  check(rc, DalScope::Session);
}

void requirePinLength(const unsigned char* pin, CK_ULONG length) {
  require(pin != nullptr, CKR_ARGUMENTS_BAD);
  require(length >= kMinPinLength && length <= kMaxPinLength, CKR_PIN_LEN_RANGE);
}

}  // namespace

void dropLogin(Slot& slot, bool logOutCard) {
  if (slot.login == kNobody) return;
  slot.login = kNobody;
  slot.soPin.wipe();
  if (!logOutCard) return;
  try {
    CardAccess card(slot.portIndex, DalScope::Session);
    VORN_DAL_Logout(VORN_DAL_USER);  // logs out whichever role the card has
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
  CardAccess card(slot.portIndex, DalScope::Session);
  const int rc = VORN_DAL_Login(dalRole(userType), pin, static_cast<int>(pinLength));
  checkPinResult(rc, userType == CKU_SO ? slot.soTries : slot.userTries);
  slot.login = userType;
  if (userType == CKU_SO) slot.soPin = SecureBytes(pin, pinLength);
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
  CardAccess card(slot.portIndex, DalScope::Session);
  // Unblocking with the SO PIN sets the user PIN whether it was blocked or not.
  const int rc = VORN_DAL_UnlockPin(slot.soPin.data(), slot.soPin.length(), pin, static_cast<int>(pinLength));
  checkPinResult(rc, slot.soTries);
  slot.userTries = PinTries{};
  FileState infoState = FileState::Absent;
  auto info = readTokenInfo(&infoState);
  if (info && !info->userPinSet) {
    info->userPinSet = true;
    writeTokenInfo(*info);  // the SO is still logged in on the card after the unblock
  }
  refreshToken(slot);
  return CKR_OK;
}

CK_RV setPin(CK_SESSION_HANDLE handle, const unsigned char* oldPin, CK_ULONG oldLength, const unsigned char* newPin,
             CK_ULONG newLength) {
  const Session& session = sessionByHandle(handle);
  Slot& slot = slotById(session.slot);
  require(session.readWrite, CKR_SESSION_READ_ONLY);
  require(oldPin != nullptr && oldLength <= kMaxPinLength, CKR_ARGUMENTS_BAD);
  requirePinLength(newPin, newLength);
  const CK_USER_TYPE role = slot.login == CKU_SO ? CKU_SO : CKU_USER;
  CardAccess card(slot.portIndex, DalScope::Session);
  const int rc = VORN_DAL_ChangePin(dalRole(role), oldPin, static_cast<int>(oldLength), newPin,
                                    static_cast<int>(newLength));
  checkPinResult(rc, role == CKU_SO ? slot.soTries : slot.userTries);
  if (role == CKU_SO) slot.soPin = SecureBytes(newPin, newLength);
  return CKR_OK;
}

}  // namespace p11
