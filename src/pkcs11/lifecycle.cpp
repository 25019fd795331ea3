#include "lifecycle.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <sstream>

#include <platform/pin_generations.h>
#include <platform/process.h>

#include "app_locking.h"
#include "card.h"
#include "entry_guard.h"
#include "module_state.h"
#include "session_calls.h"
#include "slot_presence.h"

namespace p11 {
namespace {

constexpr int kMaxPortNumber = 8;  // the DAL maps index 8 back to USB1

// The process in which the module is initialised (0: none). Published last
// by C_Initialize and cleared first by C_Finalize, so that a call entering
// during either finds the module either whole or not initialised.
std::atomic<unsigned long> livePid{0};
// Calls between their check of livePid and their end; C_Finalize waits for
// them before it gives the application's mutex back.
std::atomic<int> callsInside{0};
// Set in a child of fork whose parent had the module initialised.
std::atomic<bool> inheritedFromParent{false};
// Moves at every C_Finalize; a waiter for slot events wakes on it.
std::atomic<std::uint64_t> finalizations{0};

// The waiters for slot events sleep here between looks, outside the module
// lock, and C_Finalize wakes them. Made once in the library's own storage and
// never destroyed (a waiter may still be inside at unload), so that nothing of
// it stays on the heap once the library is unloaded.
struct EventWait {
  std::mutex mutex;
  std::condition_variable finalized;
};
alignas(EventWait) unsigned char eventWaitStorage[sizeof(EventWait)];
EventWait& eventWait() {
  static EventWait* wait = new (eventWaitStorage) EventWait;
  return *wait;
}

alignas(std::mutex) unsigned char lifecycleStorage[sizeof(std::mutex)];
std::mutex& lifecycleMutex() { return *std::launder(reinterpret_cast<std::mutex*>(lifecycleStorage)); }

// Runs in the child right after fork, with only the forking thread alive:
// whatever another thread of the parent held is rebuilt, and every call is
// refused until the child's own C_Initialize.
void afterForkInChild() {
  new (lifecycleStorage) std::mutex;
  appLocking().rebuildInChild();
  callsInside.store(0);
  if (livePid.exchange(0) != 0) inheritedFromParent.store(true);
}

const bool forkHandlerRegistered = [] {
  new (lifecycleStorage) std::mutex;
  return pthread_atfork(nullptr, nullptr, &afterForkInChild) == 0;
}();

}  // namespace

namespace {

AppLocking*& lockingMade() {
  static AppLocking* locking = nullptr;
  return locking;
}

// When the library is unloaded (dlclose, or the end of the process after
// its exit handlers have run), what C_Initialize made is freed, so that a
// host that loads the module for each job does not grow. Only a finalised
// module with no call inside is freed; otherwise a thread may still use it.
// A child of fork that unloads the module without initialising it again
// leaves its parent's state alone: it may have been half-changed at the fork.
__attribute__((destructor)) void freeOnUnload() {
  if (livePid.load() != 0 || callsInside.load() != 0) return;
  delete lockingMade();
  lockingMade() = nullptr;
  if (!inheritedFromParent.load()) freeStateOnUnload();
  platform::closePinGenerations();
}

}  // namespace

// Made by C_Initialize (under the lifecycle mutex) or in a child of fork
// (one thread), before any call can lock it.
AppLocking& appLocking() {
  if (lockingMade() == nullptr) lockingMade() = new AppLocking;
  return *lockingMade();
}

ModuleLock::ModuleLock() {
  callsInside.fetch_add(1);
  if (livePid.load() == 0) {
    callsInside.fetch_sub(1);
    fail(CKR_CRYPTOKI_NOT_INITIALIZED);
  }
  appLocking().lock();
  if (livePid.load() == 0) {  // finalised while this call waited
    appLocking().unlock();
    callsInside.fetch_sub(1);
    fail(CKR_CRYPTOKI_NOT_INITIALIZED);
  }
}

ModuleLock::~ModuleLock() {
  // What the call's card work found pulled out is settled before another
  // call can see the slot.
  settleLostTokens();
  appLocking().unlock();
  callsInside.fetch_sub(1);
}

std::vector<int> configuredPortIndexes() {
  std::vector<int> indexes;
  const char* setting = std::getenv("PELU7_PKCS11_PORTS");
  std::stringstream list(setting != nullptr && *setting != '\0' ? setting : "1,2");
  std::string item;
  while (std::getline(list, item, ',')) {
    char* end = nullptr;
    const long number = std::strtol(item.c_str(), &end, 10);
    if (end == item.c_str() || *end != '\0' || number < 1 || number > kMaxPortNumber - 1) continue;
    const int index = static_cast<int>(number - 1);
    bool listed = false;
    for (int known : indexes) listed = listed || known == index;
    if (!listed) indexes.push_back(index);
  }
  return indexes;
}

CK_RV initializeModule(const CK_C_INITIALIZE_ARGS* args) {
  return guarded([&]() -> CK_RV {
    require(forkHandlerRegistered, CKR_GENERAL_ERROR);
    std::lock_guard lifecycle(lifecycleMutex());
    if (livePid.load() != 0) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    // No call is inside now: each refuses itself before it touches the
    // state or the mutex.
    if (inheritedFromParent.exchange(false)) {
      // A child of fork starts afresh: the parent's sessions, logins, reader
      // connection and lock handle are the parent's.
      card_connection::forgetInherited();
      replaceInheritedState();
    }
    if (const CK_RV rv = appLocking().configure(args); rv != CKR_OK) return rv;
    try {
      card_connection::createLock();
    } catch (...) {
      appLocking().reset();
      throw;
    }
    auto& module = state();
    module = ModuleState{};
    for (int index : configuredPortIndexes()) {
      Slot slot;
      slot.id = static_cast<CK_SLOT_ID>(index);
      slot.portIndex = index;
      module.slots.push_back(std::move(slot));
    }
    livePid.store(platform::processId());
    return CKR_OK;
  });
}

CK_RV finalizeModule(void* reserved) {
  return guarded([&]() -> CK_RV {
    if (reserved != nullptr) return CKR_ARGUMENTS_BAD;
    std::lock_guard lifecycle(lifecycleMutex());
    {
      ModuleLock lock;
      closeAllSessions();
      card_connection::close();
      card_connection::destroyLock();
      state() = ModuleState{};
      livePid.store(0);
    }
    {
      std::lock_guard wake(eventWait().mutex);
      finalizations.fetch_add(1);
    }
    eventWait().finalized.notify_all();
    // Calls that entered before are refused once they get the mutex; the
    // application's mutex is given back after the last has left it.
    while (callsInside.load() != 0) sched_yield();
    appLocking().reset();
    return CKR_OK;
  });
}

std::uint64_t finalizationCount() { return finalizations.load(); }

bool sleepUnlessFinalized(std::uint64_t since, std::chrono::milliseconds period) {
  std::unique_lock lock(eventWait().mutex);
  return !eventWait().finalized.wait_for(lock, period, [&] { return finalizations.load() != since; });
}

}  // namespace p11
