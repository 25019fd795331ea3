// Entry points for the module, slots, tokens, sessions and logins: thin
// shells over the typed calls, each through the one guard.
#include <chrono>
#include <cstring>
#include <optional>

#include "entry_guard.h"
#include "export.h"
#include "lifecycle.h"
#include "session_calls.h"
#include "slot_presence.h"

using namespace p11;

namespace {

// How often a blocked C_WaitForSlotEvent looks at the slots.
constexpr std::chrono::milliseconds kSlotLookPeriod{250};

void padded(unsigned char* field, std::size_t size, const char* text) {
  std::memset(field, ' ', size);
  std::memcpy(field, text, std::min(size, std::strlen(text)));
}

}  // namespace

extern "C" {

P11_EXPORT CK_RV C_Initialize(CK_VOID_PTR args) {
  return initializeModule(static_cast<const CK_C_INITIALIZE_ARGS*>(args));
}

P11_EXPORT CK_RV C_Finalize(CK_VOID_PTR reserved) { return finalizeModule(reserved); }

P11_EXPORT CK_RV C_GetInfo(CK_INFO_PTR info) {
  return withModule([&]() -> CK_RV {
    require(info != nullptr, CKR_ARGUMENTS_BAD);
    *info = CK_INFO{};
    info->cryptokiVersion = {2, 40};
    padded(info->manufacturerID, sizeof info->manufacturerID, "PELU7 project");
    padded(info->libraryDescription, sizeof info->libraryDescription, "PELU7 PKCS#11 module");
    info->libraryVersion = {1, 0};
    return CKR_OK;
  });
}

P11_EXPORT CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  return withModule([&] { return getSlotList(tokenPresent, list, count); });
}

P11_EXPORT CK_RV C_GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
  return withModule([&] { return getSlotInfo(slot, info); });
}

P11_EXPORT CK_RV C_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  return withModule([&] { return getTokenInfo(slot, info); });
}

P11_EXPORT CK_RV C_GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
  return withModule([&] { return getMechanismList(slot, list, count); });
}

P11_EXPORT CK_RV C_GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
  return withModule([&] { return getMechanismInfo(slot, type, info); });
}

P11_EXPORT CK_RV C_InitToken(CK_SLOT_ID slot, CK_UTF8CHAR_PTR pin, CK_ULONG pinLength, CK_UTF8CHAR_PTR label) {
  return withModule([&] { return initToken(slot, pin, pinLength, label); });
}

P11_EXPORT CK_RV C_InitPIN(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR pin, CK_ULONG pinLength) {
  return withModule([&] { return initPin(session, pin, pinLength); });
}

P11_EXPORT CK_RV C_SetPIN(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLength,
                          CK_UTF8CHAR_PTR newPin, CK_ULONG newLength) {
  return withModule([&] { return setPin(session, oldPin, oldLength, newPin, newLength); });
}

P11_EXPORT CK_RV C_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR session) {
  return withModule([&] { return openSession(slot, flags, session); });
}

P11_EXPORT CK_RV C_CloseSession(CK_SESSION_HANDLE session) {
  return withModule([&] { return closeSession(session); });
}

P11_EXPORT CK_RV C_CloseAllSessions(CK_SLOT_ID slot) {
  return withModule([&] { return closeSlotSessions(slot); });
}

P11_EXPORT CK_RV C_GetSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info) {
  return withModule([&] { return getSessionInfo(session, info); });
}

P11_EXPORT CK_RV C_Login(CK_SESSION_HANDLE session, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin, CK_ULONG pinLength) {
  return withModule([&] { return login(session, userType, pin, pinLength); });
}

P11_EXPORT CK_RV C_Logout(CK_SESSION_HANDLE session) {
  return withModule([&] { return logout(session); });
}

// Removal and insertion: the slots are looked at (their ports opened, no
// command to the card) under the module lock, and between looks the waiter
// sleeps outside it, woken at once by C_Finalize.
P11_EXPORT CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR slot, CK_VOID_PTR reserved) {
  return guarded([&]() -> CK_RV {
    const std::uint64_t since = finalizationCount();
    for (;;) {
      std::optional<CK_SLOT_ID> event;
      const CK_RV rv = withModule([&]() -> CK_RV {
        require(slot != nullptr && reserved == nullptr, CKR_ARGUMENTS_BAD);
        event = nextSlotEvent();
        return CKR_OK;
      });
      if (rv != CKR_OK) return rv;
      if (event) {
        *slot = *event;
        return CKR_OK;
      }
      if ((flags & CKF_DONT_BLOCK) != 0) return CKR_NO_EVENT;
      if (!sleepUnlessFinalized(since, kSlotLookPeriod)) return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
  });
}

}  // extern "C"
