// The virtual PELU7 token as the reader driver sees it: a card that answers
// command APDUs, can be reset, and keeps its state in memory or in a file.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "card/vocabulary.h"
#include "common/secure_buffer.h"

namespace vtoken {

struct Answer {
  // Response data (at most 256 bytes): it may carry a private-key result,
  // so it is wiped when it goes.
  common::SecureBytes data;
  std::uint16_t sw = card::kSwOk;  // status word SW1 SW2
};

// Thrown when a token file cannot be opened, is damaged or has a wrong format.
class TokenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How a new token is made. An existing token file keeps what it was made with.
struct TokenOptions {
  bool ssf33 = true;  // false: a card without SSF33, which knows no 80 78 command (6D00)
};

// A file-backed token answers card::kSwMemoryFailure when its token file
// cannot be read or written; lastError() tells why.

class Token {
 public:
  virtual ~Token() = default;

  // A token whose state lives in memory only, factory-fresh.
  static std::unique_ptr<Token> inMemory();
  // A token kept in the file at path; a missing file is created factory-fresh.
  // Throws TokenError when the file exists but cannot be used.
  static std::unique_ptr<Token> openFile(const std::string& path);
  // The same, made with options (for a file: only when it is created).
  static std::unique_ptr<Token> inMemory(const TokenOptions& options);
  static std::unique_ptr<Token> openFile(const std::string& path, const TokenOptions& options);

  // Processes one command APDU. Never throws: every failure is a status word.
  virtual Answer transmit(std::span<const std::uint8_t> command) = 0;
  // Card reset (power cycle of the chip): clears the volatile card state.
  virtual void reset() = 0;
  // The answer-to-reset bytes.
  virtual std::vector<std::uint8_t> atr() const = 0;
  // Why the last transmit(), reset() or beginExclusive() could not use the
  // token file; empty when it could (always empty for an in-memory token).
  virtual std::string lastError() const { return {}; }

  // Keeps the token to this object across the commands that follow, until
  // endExclusive(): another process's commands on the same token file wait
  // meanwhile, as another program's wait for a card held in a reader
  // transaction. Waiting for the token is fair and bounded as for one
  // command. False when the token cannot be had; lastError() tells why.
  // Nothing to do for an in-memory token, which one process alone uses.
  virtual bool beginExclusive() { return true; }
  // Gives the token back to other processes. Never fails.
  virtual void endExclusive() {}
};

}  // namespace vtoken
