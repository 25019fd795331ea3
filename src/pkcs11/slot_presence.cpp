#include "slot_presence.h"

#include <vector>

#include "card.h"
#include "card_login.h"
#include "object_store.h"

namespace p11 {
namespace {

// Ports whose device a card call found gone during the current call; the
// module lock guards it.
std::vector<int>& lostPorts() {
  static auto* ports = new std::vector<int>;
  return *ports;
}

}  // namespace

bool lookForToken(Slot& slot) {
  const bool present = card_connection::reopen(slot.portIndex);
  const bool hadToken = slot.present.value_or(false);
  bool hasSessions = false;
  for (const auto& [handle, session] : state().sessions) hasSessions = hasSessions || session.slot == slot.id;
  if (!present && (hadToken || hasSessions)) tokenGone(slot);
  slot.present = present;
  return present;
}

void tokenGone(Slot& slot) {
  auto& module = state();
  for (auto at = module.sessions.begin(); at != module.sessions.end();) {
    if (at->second.slot != slot.id) {
      ++at;
      continue;
    }
    dropSessionObjects(at->first);
    module.removedSessions.insert(at->first);
    at = module.sessions.erase(at);
  }
  // No logout is sent: the card lost its login with its power.
  endLogin(slot);
  dropSlotObjects(slot.id);
  slot.view = CardView{};
  slot.objectsBuiltFrom.reset();
  slot.token.reset();
  slot.userTries = PinTries{};
  slot.soTries = PinTries{};
  if (card_connection::isOpen(slot.portIndex)) card_connection::close();
  slot.present = false;
  ++slot.removals;
}

void noteTokenLost(int portIndex) { lostPorts().push_back(portIndex); }

void settleLostTokens() noexcept {
  try {
    std::vector<int> ports;
    ports.swap(lostPorts());
    for (int port : ports) {
      for (auto& slot : state().slots) {
        if (slot.portIndex == port) tokenGone(slot);
      }
    }
  } catch (...) {
    // Out of memory while forgetting: the next look finds the token gone.
  }
}

std::optional<CK_SLOT_ID> nextSlotEvent() {
  std::optional<CK_SLOT_ID> event;
  for (auto& slot : state().slots) {
    const bool present = lookForToken(slot);
    if (!slot.reportedPresent) {
      slot.reportedPresent = present;
      slot.reportedRemovals = slot.removals;
      continue;
    }
    if (event || (present == *slot.reportedPresent && slot.removals == slot.reportedRemovals)) continue;
    slot.reportedPresent = present;
    slot.reportedRemovals = slot.removals;
    event = slot.id;
  }
  return event;
}

bool sameToken(const TokenSnapshot& a, const TokenSnapshot& b) {
  return a.initialized == b.initialized && a.serial == b.serial;
}

}  // namespace p11
