#include "platform/driver_entry.h"

#include <windows.h>

namespace platform {

void (*findEntryBeside(void (*knownFunction)(), const char* name))() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(knownFunction), &module)) {
    return nullptr;
  }
  if (module == GetModuleHandleA(nullptr)) return nullptr;
  return reinterpret_cast<void (*)()>(GetProcAddress(module, name));
}

}  // namespace platform
