// PC/SC readers (pcsc-lite) as a reader backend.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "backend.h"

namespace tkrdr {

// The names of the PC/SC readers now attached; empty when there are none or
// the reader service is not reachable.
std::vector<std::string> listPcscReaders();

// Connects (shared, T=0 or T=1) to the card in the named reader. Returns
// nullptr when the service, the reader or the card is not there.
std::shared_ptr<Backend> openPcscBackend(const std::string& readerName);

}  // namespace tkrdr
