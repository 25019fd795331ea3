// Turns pcsc-lite result codes into the driver's own status words.
#pragma once

#include <winscard.h>

namespace tkrdr {

// The TKRDR_SW_* value for a failed PC/SC call (rv != SCARD_S_SUCCESS).
int statusForPcscError(LONG rv);

}  // namespace tkrdr
