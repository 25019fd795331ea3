#include "lifecycle.h"

#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <sstream>

#include "app_locking.h"
#include "dal_adapter.h"
#include "entry_guard.h"
#include "module_state.h"
#include "session_calls.h"

namespace p11 {
namespace {

constexpr int kMaxPortNumber = 8;  // the DAL maps index 8 back to USB1

std::mutex& lifecycleMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

}  // namespace

AppLocking& appLocking() {
  static AppLocking* locking = new AppLocking;
  return *locking;
}

ModuleLock::ModuleLock() {
  appLocking().lock();
  const auto& module = state();
  if (!module.initialized || module.pid != getpid()) {
    appLocking().unlock();
    fail(CKR_CRYPTOKI_NOT_INITIALIZED);
  }
}

ModuleLock::~ModuleLock() { appLocking().unlock(); }

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
    std::lock_guard lifecycle(lifecycleMutex());
    auto& module = state();
    const bool inheritedFromParent = module.initialized && module.pid != getpid();
    if (module.initialized && !inheritedFromParent) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    if (const CK_RV rv = appLocking().configure(args); rv != CKR_OK) return rv;
    if (inheritedFromParent) {
      // A child of fork starts afresh: the parent's sessions, logins and
      // reader connection are the parent's.
      forgetInheritedPort();
      module = ModuleState{};
    }
    createCardLock();
    module.pid = getpid();
    for (int index : configuredPortIndexes()) {
      Slot slot;
      slot.id = static_cast<CK_SLOT_ID>(index);
      slot.portIndex = index;
      module.slots.push_back(std::move(slot));
    }
    module.initialized = true;
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
      closePort();
      destroyCardLock();
      state() = ModuleState{};
    }
    appLocking().reset();
    return CKR_OK;
  });
}

}  // namespace p11
