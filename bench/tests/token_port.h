// An open port on a fresh in-memory virtual token, for tests that talk to
// the driver directly.
#pragma once

#include <cstdlib>

#include "driver/test_seam.h"
#include "driver/tkrdr.h"

namespace bench {

inline int openTokenPort() {
  setenv("PELU7_READERS", "USB1=vtoken:", 1);
  tkrdr::resetInMemoryTokens();
  return CT_open("USB1", 1, 0);
}

}  // namespace bench
