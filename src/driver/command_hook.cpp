#include "driver/command_hook.h"

namespace tkrdr {
namespace {

std::mutex hookMutex;
CommandHook* installedHook = nullptr;

}  // namespace

ActiveHook::ActiveHook() : lock_(hookMutex), hook_(installedHook) {}

void setCommandHook(CommandHook* hook) {
  std::lock_guard lock(hookMutex);
  installedHook = hook;
}

}  // namespace tkrdr
