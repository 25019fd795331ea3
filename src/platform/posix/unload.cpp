#include "platform/unload.h"

#include <cstddef>
#include <mutex>

namespace platform {
namespace {

constexpr std::size_t kMaxActions = 4;

// Destroyed at dlclose of the library or at exit, in the reverse order of
// construction relative to other static objects: it is made at the first
// registration, so it is destroyed before anything that existed then.
struct UnloadActions {
  void (*actions[kMaxActions])() = {};
  std::size_t count = 0;
  ~UnloadActions() {
    while (count > 0) actions[--count]();
  }
};

std::mutex registrationMutex;

}  // namespace

bool runAtUnload(void (*action)()) noexcept {
  static UnloadActions registered;
  const std::lock_guard lock(registrationMutex);
  for (std::size_t i = 0; i < registered.count; ++i) {
    if (registered.actions[i] == action) return true;
  }
  if (registered.count == kMaxActions) return false;
  registered.actions[registered.count++] = action;
  return true;
}

}  // namespace platform
