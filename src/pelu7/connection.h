// The one open reader port of the process.
#pragma once

#include "pelu7/log.h"
#include "vorn_dal_pelu7.h"

namespace pelu7 {

inline constexpr int kNoReader = -1;

// Handle of the open reader port, kNoReader while none is open. Shared by all
// threads without a lock: callers serialise whole operations.
extern int readerHandle;

}  // namespace pelu7

// First step of every export that talks to the card: open the reader if it is
// not open yet, or log and return the failure unchanged.
#define PELU7_OPEN_DEVICE_OR_RETURN()                 \
  do {                                                \
    const int openResult_ = VORN_DAL_Initialize();    \
    if (openResult_ != 0) {                           \
      PELU7_LOG("******>VORN_DAL_Initialize");        \
      return openResult_;                             \
    }                                                 \
  } while (0)
