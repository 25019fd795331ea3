#include "platform/driver_entry.h"

#include <dlfcn.h>

namespace platform {

// Looked up in the module itself rather than in the global scope: a library
// loaded with RTLD_LOCAL (a PKCS#11 module and what it links) is not there.
void (*findEntryBeside(void (*knownFunction)(), const char* name))() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(knownFunction), &info) == 0 || info.dli_fname == nullptr) return nullptr;
  void* module = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  if (module == nullptr) return nullptr;
  void* found = dlsym(module, name);
  Dl_info foundInfo{};
  // Only the module's own definition: dlsym also searches what it links.
  const bool own = found != nullptr && dladdr(found, &foundInfo) != 0 && foundInfo.dli_fbase == info.dli_fbase;
  dlclose(module);  // the caller's link keeps the module loaded
  return own ? reinterpret_cast<void (*)()>(found) : nullptr;
}

}  // namespace platform
