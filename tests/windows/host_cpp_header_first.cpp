/* A C++ host that includes the public header before <windows.h> and calls
 * every member of the function table by its name (host_calls.inc). */
#include "vorn_dal_pelu7.h"
#include <windows.h>

#include <cstring>

#define HOST_CALLS_NAME hostCppHeaderFirst
#include "host_calls.inc"
