// The card's private-key operation for this application: a card found
// logged out is logged in again with the application's PIN, once.
#include "card.h"
#include "card_login.h"
#include "ck_error.h"
#include "crypto_calls.h"
#include "rsa_public.h"
#include "session_calls.h"

namespace p11 {

SecureBytes privateKeyOperation(const Session& session, const Object& key, const SecureBytes& block) {
  Slot& slot = slotById(session.slot);
  require(userLoggedIn(slot), CKR_USER_NOT_LOGGED_IN);
  require(block.size() == kModulusBytes, CKR_GENERAL_ERROR);
  const Bytes& modulus = key.attributes.at(CKA_MODULUS);
  // The card answers a block at or above n with the same error as a missing
  // login; such a block is the caller's data, refused here.
  require(Bytes(block.data(), block.data() + block.size()) < modulus, CKR_DATA_INVALID);
  Card card(slot.portIndex, CardScope::Session);
  SecureBytes out;
  if (!card.privateOperation(key.cardRef + 1, block, out)) {
    // The block is below n, so the refusal is the card's lost login (another
    // program's logout, or a reset): log in again and repeat once.
    loginAgain(card, slot);
    require(card.privateOperation(key.cardRef + 1, block, out), CKR_DEVICE_ERROR);
  }
  // The key file at the handle's place may hold another key by now (the
  // token formatted and filled again): the result must be the handle's
  // key's, checked with its public half, or it is not given out.
  const RsaPublicKey publicKey{modulus, key.attributes.at(CKA_PUBLIC_EXPONENT)};
  require(isPrivateResult(publicKey, block, out), CKR_KEY_HANDLE_INVALID);
  return out;
}

}  // namespace p11
