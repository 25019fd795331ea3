// The virtual PELU7 token as a reader backend.
#pragma once

#include <memory>
#include <string>

#include "backend.h"

namespace tkrdr {

// A backend over the token file at path (created factory-fresh when missing).
// Returns nullptr when the file cannot be used; the reason goes to stderr once
// per path.
std::shared_ptr<Backend> openFileTokenBackend(const std::string& path);

// A backend over the in-memory token of the named port. The token lives for
// the process (until resetInMemoryTokens), so closing and reopening the port
// finds the same card.
std::shared_ptr<Backend> openMemoryTokenBackend(const std::string& port);

}  // namespace tkrdr
