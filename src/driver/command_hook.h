// Access to the installed test hook from the exported functions.
#pragma once

#include <mutex>

#include "driver/test_seam.h"

namespace tkrdr {

// Holds the hook lock for the whole of one exchange, so that a hook cannot be
// removed (and destroyed) while the driver is still calling it.
class ActiveHook {
 public:
  ActiveHook();
  CommandHook* get() const { return hook_; }

 private:
  std::unique_lock<std::mutex> lock_;
  CommandHook* hook_;
};

}  // namespace tkrdr
