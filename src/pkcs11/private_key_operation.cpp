#include "ck_error.h"
#include "crypto_calls.h"
#include "dal_adapter.h"
#include "session_calls.h"
#include "vorn_dal_pelu7.h"

namespace p11 {

SecureBytes privateKeyOperation(const Session& session, const Object& key, const SecureBytes& block) {
  Slot& slot = slotById(session.slot);
  require(userLoggedIn(slot), CKR_USER_NOT_LOGGED_IN);
  require(block.size() == kModulusBytes, CKR_GENERAL_ERROR);
  const Bytes& modulus = key.attributes.at(CKA_MODULUS);
  // The card answers a block at or above n with the same error as a missing
  // login; such a block is the caller's data, refused here.
  require(Bytes(block.data(), block.data() + block.size()) < modulus, CKR_DATA_INVALID);
  CardAccess card(slot.portIndex, DalScope::Session);
  SecureBytes out(kModulusBytes);
  int outLength = 0;
  const int rc = VORN_DAL_RsaPrivateKeyRaw(key.cardRef + 1, block.data(), block.length(), out.data(), &outLength);
  if (rc == VORN_DAL_ERR_RSA) {
    // Another program's logout, or a reset, ends the card's login for all.
    int loggedIn = 0;
    if (VORN_DAL_IsLogin(VORN_DAL_USER, &loggedIn) == 0 && loggedIn == 0) {
      dropLogin(slot, false);
      fail(CKR_USER_NOT_LOGGED_IN);
    }
    fail(CKR_DEVICE_ERROR);
  }
  check(rc, DalScope::Session);
  require(outLength == static_cast<int>(kModulusBytes), CKR_DEVICE_ERROR);
  return out;
}

}  // namespace p11
