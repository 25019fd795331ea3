#include "command_hook.h"

#include <atomic>

namespace tkrdr {
namespace {

// Serialises exchanges that go through a hook with the removal of that hook.
std::mutex hookMutex;
// The installed hook. Written only under hookMutex; read without it to learn
// whether there is one at all, and under it to use one.
std::atomic<CommandHook*> installedHook{nullptr};

}  // namespace

bool commandHookInstalled() { return installedHook.load(std::memory_order_acquire) != nullptr; }

ActiveHook::ActiveHook() {
  if (!commandHookInstalled()) return;
  lock_ = std::unique_lock(hookMutex);
  // Read again under the lock: the hook may have been removed meanwhile.
  hook_ = installedHook.load(std::memory_order_acquire);
}

// A hook is marked removed at once, so that exchanges that start from now on
// no longer wait for it; the lock is then taken to wait for an exchange that
// is still calling it, after which the caller may destroy it.
void setCommandHook(CommandHook* hook) {
  installedHook.store(hook, std::memory_order_release);
  std::lock_guard lock(hookMutex);
}

}  // namespace tkrdr
