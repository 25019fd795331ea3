/* A C++ host that includes <windows.h> before the public header and calls
 * every member of the function table by its name (host_calls.inc). */
#include <windows.h>
#include "vorn_dal_pelu7.h"

#include <cstring>

#define HOST_CALLS_NAME hostCppWindowsFirst
#include "host_calls.inc"
