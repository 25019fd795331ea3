#include "platform/process.h"

#include <windows.h>

namespace platform {

unsigned long processId() { return GetCurrentProcessId(); }

}  // namespace platform
