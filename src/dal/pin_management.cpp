// Changing a PIN, and unblocking the user PIN with the super user's PIN.
#include "connection.h"
#include "pin_commands.h"
#include "transport.h"

using namespace pelu7;

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_ChangePin(int loginType, const unsigned char* oldPin,
                                                                int oldPinLen, const unsigned char* newPin,
                                                                int newPinLen) {
  if (int rc = openDevice(); rc != 0) return rc;
  const Role* role = roleOf(loginType);
  if (role == nullptr) {
    logText("******>login type");
    return VORN_DAL_ERR_ARGUMENT;
  }
  if (oldPinLen < 0 || newPinLen < 0) {
    logText("******>pin len");
    return VORN_DAL_ERR_ARGUMENT;
  }
  PinValue oldValue, newValue;
  derivePin(oldPin, oldPinLen, oldValue);
  derivePin(newPin, newPinLen, newValue);
  const int status = changePin(role->pinKeyId, oldValue, newValue);
  if (status == kSwOk) return 0;
  logText("******>chk usr pin");
  return cardFailure(mapPinStatus(status, role->blockedCode, VORN_DAL_ERR_CHANGE_PIN));
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_UnlockPin(const unsigned char* superPin, int superPinLen,
                                                                const unsigned char* newUserPin,
                                                                int newUserPinLen) {
  if (int rc = openDevice(); rc != 0) return rc;
  if (superPinLen < 0 || newUserPinLen < 0) {
    logText("******>pin len");
    return VORN_DAL_ERR_ARGUMENT;
  }
  PinValue superValue;
  derivePin(superPin, superPinLen, superValue);
  int status = verifyPin(SuperUserPin, superValue);
  if (isPinRefusal(status)) return cardFailure(mapPinStatus(status, VORN_DAL_ERR_SUPER_PIN_LOCKED, VORN_DAL_ERR_UNLOCK_SUPER_PIN));
  if (status != kSwOk) {
    logText("******>chk usr pin");
    return cardFailure(VORN_DAL_ERR_UNLOCK_SUPER_PIN);
  }
  PinValue unlockValue, newValue;
  deriveFixedPin(kUnlockPinText, unlockValue);
  derivePin(newUserPin, newUserPinLen, newValue);
  status = unblockPin(unlockValue, newValue);
  if (status != kSwOk) {
    logText("******>chk usr pin");
    return cardFailure(VORN_DAL_ERR_UNLOCK_PIN);
  }
  return 0;
}
