#include "platform/fork_hooks.h"

namespace platform {

// Windows processes are never copied: there is nothing to run.
bool runAroundFork(void (*)(), void (*)(), void (*)()) noexcept { return true; }

}  // namespace platform
