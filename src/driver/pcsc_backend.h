// PC/SC readers (pcsc-lite, winscard.dll) as a reader backend.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "backend.h"
#include "hold_policy.h"
#include "pcsc_api.h"

namespace tkrdr {

// The names of the PC/SC readers now attached; empty when there are none or
// the reader service is not reachable.
std::vector<std::string> listPcscReaders(PcscApi& api = systemPcsc());

// Connects (shared, T=0 or T=1) to the card in the named reader. Returns
// nullptr when the service, the reader or the card is not there.
//
// The backend keeps one PC/SC transaction across the commands it sends back
// to back, so that no other program's command falls between the commands of
// one operation of the library, and ends it when the card has been idle for
// the timing's idle gap, before a reset or a disconnection, and after any
// PC/SC failure (see hold_policy.h for when a busy program gives the card
// back).
std::shared_ptr<Backend> openPcscBackend(const std::string& readerName, PcscApi& api = systemPcsc(),
                                         HoldTiming timing = kDefaultHoldTiming);

}  // namespace tkrdr
