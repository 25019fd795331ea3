// A token pulled out and put back. The module looks for the token by opening
// its port (which sends the card no command: the reader service, or the
// virtual token's presence, answers); a card call that finds the device gone
// tells the same. Either way the slot's sessions are closed, this
// application's login ended and its kept PIN wiped, and what was read of the
// token forgotten, so that the token that comes back (the same one or
// another) is read afresh.
#pragma once

#include <optional>

#include "module_state.h"

namespace p11 {

// Whether the slot's token is there now; a token found gone is handled as
// pulled out (tokenGone). No card command.
bool lookForToken(Slot& slot);

// The slot's token is gone: its sessions closed (each answers
// CKR_DEVICE_REMOVED once), the login ended, the PIN wiped, the view, token
// snapshot and objects dropped, the port closed.
void tokenGone(Slot& slot);

// A card call found the device of this port gone (card.cpp); the slot is
// handled by settleLostTokens at the end of the call, once nothing of the
// call refers to its sessions any more.
void noteTokenLost(int portIndex);
void settleLostTokens() noexcept;

// The next slot event for C_WaitForSlotEvent: a slot whose token went or came
// since the last one reported. The first look at a slot only takes its state.
std::optional<CK_SLOT_ID> nextSlotEvent();

// Two token snapshots name the same token.
bool sameToken(const TokenSnapshot& a, const TokenSnapshot& b);

}  // namespace p11
