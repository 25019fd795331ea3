#include "platform/fork_hooks.h"

#include <pthread.h>

namespace platform {

bool runAroundFork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept {
  return pthread_atfork(prepare, parent, child) == 0;
}

}  // namespace platform
