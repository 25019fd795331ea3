// Sessions live in this process only; their state is answered without card
// traffic.
#include "card.h"
#include "ck_error.h"
#include "object_store.h"
#include "session_calls.h"
#include "slot_presence.h"

namespace p11 {
namespace {

bool lastSessionOf(CK_SLOT_ID id) {
  for (const auto& [handle, session] : state().sessions) {
    if (session.slot == id) return false;
  }
  return true;
}

void eraseSession(CK_SESSION_HANDLE handle) {
  auto& module = state();
  const CK_SLOT_ID id = sessionByHandle(handle).slot;
  dropSessionObjects(handle);
  module.sessions.erase(handle);
  // Closing the last session ends the application's login; the card's login
  // is shared by every program, so it is ended there too.
  if (lastSessionOf(id)) dropLogin(slotById(id), true);
}

}  // namespace

CK_RV openSession(CK_SLOT_ID id, CK_FLAGS flags, CK_SESSION_HANDLE* handle) {
  require(handle != nullptr, CKR_ARGUMENTS_BAD);
  require((flags & CKF_SERIAL_SESSION) != 0, CKR_SESSION_PARALLEL_NOT_SUPPORTED);
  Slot& slot = slotById(id);
  const bool readWrite = (flags & CKF_RW_SESSION) != 0;
  require(readWrite || slot.login != CKU_SO, CKR_SESSION_READ_WRITE_SO_EXISTS);
  require(lookForToken(slot), CKR_TOKEN_NOT_PRESENT);
  if (lastSessionOf(id)) {
    // The first look at the token; later ones check for changes where the
    // answer depends on them (C_GetTokenInfo, C_FindObjectsInit).
    if (!slot.token) {
      Card card(slot.portIndex, CardScope::Slot);
      refreshToken(card, slot);
    }
  }
  auto& module = state();
  Session session;
  session.handle = module.nextSession++;
  session.slot = id;
  session.readWrite = readWrite;
  module.sessions[session.handle] = std::move(session);
  *handle = module.nextSession - 1;
  return CKR_OK;
}

CK_RV closeSession(CK_SESSION_HANDLE handle) {
  eraseSession(handle);
  return CKR_OK;
}

CK_RV closeSlotSessions(CK_SLOT_ID id) {
  slotById(id);
  std::vector<CK_SESSION_HANDLE> handles;
  for (const auto& [handle, session] : state().sessions) {
    if (session.slot == id) handles.push_back(handle);
  }
  for (auto handle : handles) eraseSession(handle);
  return CKR_OK;
}

void closeAllSessions() {
  for (const auto& slot : state().slots) closeSlotSessions(slot.id);
}

CK_RV getSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO* info) {
  require(info != nullptr, CKR_ARGUMENTS_BAD);
  const CK_SLOT_ID id = sessionByHandle(handle).slot;
  // A pulled token closes the session: asked again, it answers so.
  if (!lookForToken(slotById(id))) sessionByHandle(handle);
  const Session& session = sessionByHandle(handle);
  const Slot& slot = slotById(session.slot);
  info->slotID = session.slot;
  info->flags = CKF_SERIAL_SESSION | (session.readWrite ? CKF_RW_SESSION : 0);
  info->ulDeviceError = 0;
  if (slot.login == CKU_SO) {
    info->state = CKS_RW_SO_FUNCTIONS;
  } else if (slot.login == CKU_USER) {
    info->state = session.readWrite ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
  } else {
    info->state = session.readWrite ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
  }
  return CKR_OK;
}

}  // namespace p11
