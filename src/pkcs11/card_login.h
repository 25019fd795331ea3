// An application's login over the card's one shared login. The PIN of an
// application that logged in is kept (LockedSecret) until it logs out, closes
// its last session or finalises; when the card is found logged out (another
// program logged out, or a reset), the card is logged in again with it, once,
// inside the same card bracket. A PIN the card refuses then (another program
// changed it) ends this application's login.
#pragma once

#include "card.h"
#include "module_state.h"

namespace p11 {

// Logs the card in again with the kept PIN. Throws CKR_USER_NOT_LOGGED_IN
// (and ends the application's login) when there is no login or the card
// refuses the PIN.
void loginAgain(Card& card, Slot& slot);
// The card's login for this application's role, restored if lost.
void ensureCardLogin(Card& card, Slot& slot);
// Forgets this application's login: the PIN wiped, private payloads dropped.
void endLogin(Slot& slot);

}  // namespace p11
