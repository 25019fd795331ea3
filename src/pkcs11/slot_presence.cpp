#include "slot_presence.h"

#include <vector>

#include "card.h"
#include "card_login.h"
#include "object_store.h"

namespace p11 {
namespace {

// Ports whose device a card call found gone during the current call; the
// module lock guards it. Emptied at the end of every call, freed at unload.
std::vector<int>& lostPorts() {
  static std::vector<int> ports;
  return ports;
}

}  // namespace

bool lookForToken(Slot& slot) {
  const bool present = card_connection::reopen(slot.portIndex);
  if (!present) tokenGone(slot);
  slot.present = present;
  return present;
}

void tokenGone(Slot& slot) {
  auto& module = state();
  bool wasThere = slot.present.value_or(false) || slot.token.has_value() || slot.login != kNobody;
  for (auto at = module.sessions.begin(); at != module.sessions.end();) {
    if (at->second.slot != slot.id) {
      ++at;
      continue;
    }
    wasThere = true;
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
  if (wasThere) ++slot.removals;
}

void noteTokenLost(int portIndex) { lostPorts().push_back(portIndex); }

void settleLostTokens() noexcept {
  try {
    std::vector<int> ports;
    ports.swap(lostPorts());
    auto& module = state();
    for (int port : ports) {
      for (auto& slot : module.slots) {
        if (slot.portIndex == port) tokenGone(slot);
      }
    }
    // The session whose call found the token gone has already been told.
    if (!ports.empty()) module.removedSessions.erase(module.callSession);
    module.callSession = 0;
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
