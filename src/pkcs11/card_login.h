// An application's login over the card's one shared login. The PIN of an
// application that logged in is kept (LockedSecret) until it logs out, closes
// its last session or finalises; when the card is found logged out (another
// program logged out, or a reset), the card is logged in again with it, once,
// inside the same card bracket. The kept PIN is presented only to the token
// it was accepted by (same identity), and only while the machine's PIN
// generation of that token (platform/pin_generations.h) has not moved since:
// a PIN changed through the module or the pelu7 tool ends the login
// without a try. A PIN the card refuses (changed by something that does not
// say so) ends this application's login and moves the generation, so that
// no other program of the machine tries its kept PIN too.
#pragma once

#include "card.h"
#include "module_state.h"
#include "platform/pin_generations.h"

namespace p11 {

// Logs the card in again with the kept PIN. Throws CKR_USER_NOT_LOGGED_IN
// (and ends the application's login) when there is no login, the token or
// the PIN changed, or the card refuses the PIN.
void loginAgain(Card& card, Slot& slot);
// The card's login for this application's role, restored if lost.
void ensureCardLogin(Card& card, Slot& slot);
// Forgets this application's login: the PIN wiped, private payloads dropped.
void endLogin(Slot& slot);

platform::PinRole pinRoleOf(Role role);
// Records for every process what a PIN check showed about the tries left.
void notePinCheck(TokenIdentity identity, Role role, const PinCheck& answer);
// A PIN changed or unblocked through this module: the machine's generation
// moves; this application's login of that role goes on with the new PIN.
void notePinChange(Slot& slot, TokenIdentity identity, Role role, const unsigned char* newPin,
                   std::size_t newLength);

}  // namespace p11
