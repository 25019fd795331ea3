// Turns pcsc-lite result codes into the driver's own status words.
#pragma once

#include <winscard.h>

namespace tkrdr {

// The TKRDR_SW_* value for a failed PC/SC call (rv != SCARD_S_SUCCESS).
int statusForPcscError(LONG rv);

// True for the PC/SC failures after which a connection can serve no more:
// the card was pulled (or another put in its place), the reader went, or the
// service stopped or restarted and no longer knows the connection.
bool isConnectionLost(LONG rv);

}  // namespace tkrdr
