// Access to the installed test hook from the exported functions.
#pragma once

#include <mutex>

#include "test_seam.h"

namespace tkrdr {

// Whether a hook is installed, read without any lock: the exported functions
// take the hook lock only when one is, so that a driver without a hook (every
// production process) never serialises its exchanges on it.
bool commandHookInstalled();

// Holds the hook lock for the whole of one exchange when a hook is installed,
// so that a hook cannot be removed (and destroyed) while the driver is still
// calling it. Without a hook it holds nothing and get() is nullptr.
class ActiveHook {
 public:
  ActiveHook();
  CommandHook* get() const { return hook_; }

 private:
  std::unique_lock<std::mutex> lock_;
  CommandHook* hook_ = nullptr;
};

}  // namespace tkrdr
