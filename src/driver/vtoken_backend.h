// The virtual PELU7 token as a reader backend.
#pragma once

#include <memory>
#include <string>

#include "backend.h"
#include "hold_policy.h"

namespace tkrdr {

// A backend over the token file at path (created factory-fresh when missing).
// Returns nullptr when the file cannot be used; the reason goes to stderr once
// per path. The token's lock is kept across commands sent back to back (see
// hold_policy.h), as the PC/SC backend keeps its reader transaction.
std::shared_ptr<Backend> openFileTokenBackend(const std::string& path, HoldTiming timing = kTokenHoldTiming);

// A backend over the in-memory token of the named port. The token lives for
// the process (until resetInMemoryTokens), so closing and reopening the port
// finds the same card.
std::shared_ptr<Backend> openMemoryTokenBackend(const std::string& port);

}  // namespace tkrdr
