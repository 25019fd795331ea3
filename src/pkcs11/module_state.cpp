#include "module_state.h"

#include <vector>

#include "ck_error.h"

namespace p11 {

namespace {

// Made at the first use and freed only when the library is unloaded
// (freeStateOnUnload): exit handlers may still call in.
ModuleState*& current() {
  static ModuleState* module = nullptr;
  return module;
}

}  // namespace

ModuleState& state() {
  if (current() == nullptr) current() = new ModuleState;
  return *current();
}

void freeStateOnUnload() {
  delete current();
  current() = nullptr;
}

void replaceInheritedState() {
  static std::vector<ModuleState*> inherited;  // kept reachable, never touched again
  inherited.push_back(current());
  current() = new ModuleState;
}

Slot& slotById(CK_SLOT_ID id) {
  for (auto& slot : state().slots) {
    if (slot.id == id) return slot;
  }
  fail(CKR_SLOT_ID_INVALID);
}

Session& sessionByHandle(CK_SESSION_HANDLE handle) {
  if (state().removedSessions.erase(handle) != 0) fail(CKR_DEVICE_REMOVED);
  const auto at = state().sessions.find(handle);
  require(at != state().sessions.end(), CKR_SESSION_HANDLE_INVALID);
  state().callSession = handle;
  return at->second;
}

bool userLoggedIn(const Slot& slot) { return slot.login == CKU_USER; }

bool isVisible(const Session& session, const Object& object) {
  if (object.slot != session.slot) return false;
  return !object.isPrivate || userLoggedIn(slotById(session.slot));
}

Object& visibleObject(const Session& session, CK_OBJECT_HANDLE handle) {
  const auto at = state().objects.find(handle);
  require(at != state().objects.end() && isVisible(session, at->second), CKR_OBJECT_HANDLE_INVALID);
  return at->second;
}

}  // namespace p11
