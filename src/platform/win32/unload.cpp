// Work to do when the DLL is unloaded: the entry point's DLL_PROCESS_DETACH
// (dll_main.cpp) runs the registered actions, at FreeLibrary and at process
// exit alike.
#include "platform/unload.h"

#include <cstddef>
#include <mutex>

#include "unload_actions.h"

namespace platform {
namespace {

constexpr std::size_t kMaxActions = 4;

void (*actions[kMaxActions])() = {};
std::size_t actionCount = 0;
std::mutex registrationMutex;

}  // namespace

bool runAtUnload(void (*action)()) noexcept {
  const std::lock_guard lock(registrationMutex);
  for (std::size_t i = 0; i < actionCount; ++i) {
    if (actions[i] == action) return true;
  }
  if (actionCount == kMaxActions) return false;
  actions[actionCount++] = action;
  return true;
}

namespace win32 {

// Called by the loader with its lock held and no other thread of the DLL
// running: no guard needed, and none taken (a thread ended by process exit
// may have left the mutex held).
void runUnloadActions() noexcept {
  while (actionCount > 0) actions[--actionCount]();
}

}  // namespace win32
}  // namespace platform
