// The slot, token, session and login calls behind the C_* entry points. Each
// runs under the module lock and throws CkError on failure.
#pragma once

#include "module_state.h"
#include "pkcs11_api.h"

namespace p11 {

// Slots and tokens (token.cpp).
CK_RV getSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID* list, CK_ULONG* count);
CK_RV getSlotInfo(CK_SLOT_ID id, CK_SLOT_INFO* info);
CK_RV getTokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO* info);
CK_RV getMechanismList(CK_SLOT_ID id, CK_MECHANISM_TYPE* list, CK_ULONG* count);
CK_RV getMechanismInfo(CK_SLOT_ID id, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* info);
CK_RV initToken(CK_SLOT_ID id, const unsigned char* soPin, CK_ULONG soPinLength, const unsigned char* label);
class Card;
// Asks the card about its token again (inside the Card bracket).
void refreshToken(Card& card, Slot& slot);

// Sessions (sessions.cpp).
CK_RV openSession(CK_SLOT_ID id, CK_FLAGS flags, CK_SESSION_HANDLE* handle);
CK_RV closeSession(CK_SESSION_HANDLE handle);
CK_RV closeSlotSessions(CK_SLOT_ID id);
void closeAllSessions();
CK_RV getSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO* info);

// Login and PINs (login.cpp).
CK_RV login(CK_SESSION_HANDLE handle, CK_USER_TYPE userType, const unsigned char* pin, CK_ULONG pinLength);
CK_RV logout(CK_SESSION_HANDLE handle);
CK_RV initPin(CK_SESSION_HANDLE handle, const unsigned char* pin, CK_ULONG pinLength);
CK_RV setPin(CK_SESSION_HANDLE handle, const unsigned char* oldPin, CK_ULONG oldLength, const unsigned char* newPin,
             CK_ULONG newLength);
// Forgets this application's login on a slot (and asks the card to log out
// when logOutCard).
void dropLogin(Slot& slot, bool logOutCard);

constexpr CK_ULONG kMinPinLength = 4;
constexpr CK_ULONG kMaxPinLength = 64;

}  // namespace p11
