#include "card_login.h"

#include "card_view.h"
#include "ck_error.h"

namespace p11 {
namespace {

Role roleOf(const Slot& slot) { return slot.login == CKU_SO ? Role::SecurityOfficer : Role::User; }

}  // namespace

void loginAgain(Card& card, Slot& slot) {
  require(slot.login != kNobody && !slot.pin.empty(), CKR_USER_NOT_LOGGED_IN);
  // Another token in the reader ends the login here (currentIdentity).
  const TokenIdentity identity = currentIdentity(card, slot);
  require(slot.login != kNobody, CKR_USER_NOT_LOGGED_IN);
  const Role role = roleOf(slot);
  const auto generation = platform::pinGeneration(identity, pinRoleOf(role));
  if (generation && slot.pinGeneration && *generation != *slot.pinGeneration) {
    endLogin(slot);  // changed by another program: not presented
    fail(CKR_USER_NOT_LOGGED_IN);
  }
  const PinCheck answer = card.verify(role, slot.pin.data(), slot.pin.size());
  notePinCheck(identity, role, answer);
  if (answer.outcome == PinOutcome::Ok) return;
  PinTries& tries = slot.login == CKU_SO ? slot.soTries : slot.userTries;
  tries.left = answer.triesLeft;
  tries.locked = answer.outcome == PinOutcome::Locked;
  // Changed without a word: the first program refused tells the others.
  if (slot.pinGeneration) platform::movePinGenerationFrom(identity, pinRoleOf(role), *slot.pinGeneration);
  endLogin(slot);
  fail(CKR_USER_NOT_LOGGED_IN);
}

platform::PinRole pinRoleOf(Role role) {
  return role == Role::SecurityOfficer ? platform::PinRole::kSecurityOfficer : platform::PinRole::kUser;
}

void notePinCheck(TokenIdentity identity, Role role, const PinCheck& answer) {
  platform::PinTriesSeen seen;
  if (answer.outcome == PinOutcome::Wrong) seen.left = answer.triesLeft;
  seen.locked = answer.outcome == PinOutcome::Locked;
  platform::notePinTries(identity, pinRoleOf(role), seen);
}

void notePinChange(Slot& slot, TokenIdentity identity, Role role, const unsigned char* newPin,
                   std::size_t newLength) {
  const std::uint32_t generation = platform::movePinGeneration(identity, pinRoleOf(role));
  platform::notePinTries(identity, pinRoleOf(role), {});
  if (slot.login == kNobody || roleOf(slot) != role || slot.loginIdentity != identity) return;
  slot.pin.assign(newPin, newLength);
  slot.pinGeneration = generation;
}

void ensureCardLogin(Card& card, Slot& slot) {
  require(slot.login != kNobody, CKR_USER_NOT_LOGGED_IN);
  if (card.login(roleOf(slot)) != CardLogin::LoggedIn) loginAgain(card, slot);
}

void endLogin(Slot& slot) {
  slot.login = kNobody;
  slot.loginIdentity = 0;
  slot.pinGeneration.reset();
  slot.pin.wipe();
  forgetPrivatePayloads(slot.view);
}

}  // namespace p11
