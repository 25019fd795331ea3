// Internal seam of the reader driver for tests and fuzzers: a hook that sees
// every command before the backend does and may answer it itself. Not part of
// libtkrdr.so's exported interface.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "card/vocabulary.h"
#include "common/secure_buffer.h"

namespace tkrdr {

struct CardAnswer {
  common::SecureBytes data;  // response data, at most 255 bytes are delivered; wiped when it goes
  int status = card::kSwOk;        // SW1 SW2, or one of the driver's TKRDR_SW_* values
};

class CommandHook {
 public:
  virtual ~CommandHook() = default;
  // Called for every ICC_tsi_api on an open handle. An answer replaces the
  // backend's; std::nullopt lets the command through to the backend.
  virtual std::optional<CardAnswer> before(int handle, std::span<const std::uint8_t> command) = 0;
  // Called with the answer that ICC_tsi_api is about to return.
  virtual void after(int handle, std::span<const std::uint8_t> command, const CardAnswer& answer) {
    (void)handle, (void)command, (void)answer;
  }
  // Called for every ICC_reset on an open handle; a value replaces the backend's result.
  virtual std::optional<int> onReset(int handle) {
    (void)handle;
    return std::nullopt;
  }
};

// Installs the hook (nullptr removes it). The driver does not own it.
void setCommandHook(CommandHook* hook);

// Forgets every in-memory token ("vtoken:" ports), so the next CT_open of such
// a port gets a factory-fresh token.
void resetInMemoryTokens();

}  // namespace tkrdr
