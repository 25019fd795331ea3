// The small interface every reader backend implements: the virtual token and
// PC/SC readers look the same to the exported functions.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "test_seam.h"

namespace tkrdr {

class Backend {
 public:
  virtual ~Backend() = default;
  // Sends one command APDU. The status is the card's SW1 SW2 or one of the
  // driver's TKRDR_SW_* values. Never throws. Safe to call from several
  // handles that share the backend.
  virtual CardAnswer transmit(std::span<const std::uint8_t> command) = 0;
  // Cold reset of the card; the success status or a TKRDR_SW_* value. Never throws.
  virtual int reset() = 0;
  // The current answer-to-reset, empty when it cannot be read. Never throws.
  virtual std::vector<std::uint8_t> atr() = 0;
  // Whether a card is in the reader now, asked without sending the card a
  // command (the reader service's state, the virtual token's presence); a
  // connection lost since is made again. Never throws.
  virtual bool present() = 0;
};

}  // namespace tkrdr
