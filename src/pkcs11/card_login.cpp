#include "card_login.h"

#include "card_view.h"
#include "ck_error.h"

namespace p11 {
namespace {

Role roleOf(const Slot& slot) { return slot.login == CKU_SO ? Role::SecurityOfficer : Role::User; }

}  // namespace

void loginAgain(Card& card, Slot& slot) {
  require(slot.login != kNobody && !slot.pin.empty(), CKR_USER_NOT_LOGGED_IN);
  const PinCheck answer = card.verify(roleOf(slot), slot.pin.data(), slot.pin.size());
  if (answer.outcome == PinOutcome::Ok) return;
  PinTries& tries = slot.login == CKU_SO ? slot.soTries : slot.userTries;
  tries.left = answer.triesLeft;
  tries.locked = answer.outcome == PinOutcome::Locked;
  endLogin(slot);
  fail(CKR_USER_NOT_LOGGED_IN);
}

void ensureCardLogin(Card& card, Slot& slot) {
  require(slot.login != kNobody, CKR_USER_NOT_LOGGED_IN);
  if (card.login(roleOf(slot)) != CardLogin::LoggedIn) loginAgain(card, slot);
}

void endLogin(Slot& slot) {
  slot.login = kNobody;
  slot.pin.wipe();
  forgetPrivatePayloads(slot.view);
}

}  // namespace p11
