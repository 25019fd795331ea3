// The objects of a token as this process sees them: the card's key pairs,
// certificates and data objects, and the application's session objects.
#pragma once

#include "card_files.h"
#include "module_state.h"

namespace p11 {

class Card;

// Brings the slot's view up to date with the card and its objects with the
// view; handles of objects that are still there stay the same.
void refreshCardObjects(Card& card, Slot& slot);
// Builds the slot's card objects from its view (no card traffic).
void syncObjects(Slot& slot);

// The slot's view brought up to date and its index read again whole and
// compared, ready to be written (inside the Card bracket).
IndexFile& indexToWrite(Card& card, Slot& slot);
// Gives a new key pair its index record; inside the Card bracket, with the
// user logged in and the slot's view just brought up to date.
void recordKeyPair(Card& card, Slot& slot, int publicId, const Bytes& id, const Bytes& label, bool local);

// C_CreateObject of a certificate, data object or session public key
// (private keys go to key import). Returns the new handle.
CK_OBJECT_HANDLE createObject(Session& session, const Template& pattern);
void destroyObject(Session& session, Object& object);
void setAttributes(Session& session, Object& object, const Template& changes);
// Drops the session objects of a closed session.
void dropSessionObjects(CK_SESSION_HANDLE session);
void dropSlotObjects(CK_SLOT_ID slot);

// The new object's handle after a refresh, by its card location.
CK_OBJECT_HANDLE keyHandle(const Slot& slot, int publicId, CK_OBJECT_CLASS objectClass);

}  // namespace p11
