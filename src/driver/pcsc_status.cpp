#include "pcsc_status.h"

#include "driver/tkrdr.h"

namespace tkrdr {

int statusForPcscError(LONG rv) {
  switch (rv) {
    case SCARD_E_NO_SERVICE:
    case SCARD_E_SERVICE_STOPPED:
    case SCARD_F_COMM_ERROR:      // the service's socket failed under the call
    case SCARD_E_INVALID_HANDLE:  // a restarted service knows no old connection
      return TKRDR_SW_NO_SERVICE;
    case SCARD_W_REMOVED_CARD:
    case SCARD_E_NO_SMARTCARD:
    case SCARD_W_UNPOWERED_CARD:
    case SCARD_E_READER_UNAVAILABLE:
    case SCARD_E_UNKNOWN_READER:
    case SCARD_E_NO_READERS_AVAILABLE:
      return TKRDR_SW_NO_CARD;
    default:
      // Among them SCARD_W_RESET_CARD when it cannot be recovered, time-outs,
      // unresponsive cards and protocol errors.
      return TKRDR_SW_COMM;
  }
}

// A lost connection is exactly a failure that reads as no service or no card:
// one list of codes, so the two answers can never disagree.
bool isConnectionLost(LONG rv) { return statusForPcscError(rv) != TKRDR_SW_COMM; }

}  // namespace tkrdr
