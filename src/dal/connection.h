// The one open reader port of the process.
#pragma once

#include <source_location>

#include "log.h"
#include "transport.h"
#include "vorn_dal_pelu7.h"

namespace pelu7 {

inline constexpr int kNoReader = -1;

// Handle of the open reader port, kNoReader while none is open. Shared by all
// threads without a lock: callers serialise whole operations.
extern int readerHandle;

}  // namespace pelu7

namespace pelu7 {

// First step of every export that talks to the card: opens the reader if it
// is not open yet. On failure logs at the caller's line and returns the code
// unchanged; else 0.
inline int openDevice(std::source_location site = std::source_location::current()) {
  beginCardCall();
  const int result = VORN_DAL_Initialize();
  if (result != 0) logText("******>VORN_DAL_Initialize", site);
  return result;
}

}  // namespace pelu7
