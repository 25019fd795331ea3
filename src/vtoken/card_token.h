// The two kinds of virtual token (in memory, in a file) share this base: the
// fixed ATR, and a snapshot of the card state for read-only descriptions.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "card_state.h"
#include "timing_model.h"
#include "vtoken/token.h"

namespace vtoken {

// The answer-to-reset: TS 3B, T0 88 (TD1 follows, 8 historical bytes),
// TD1 80 (T=0, TD2 follows), TD2 01 (T=1), the historical bytes "PELU7VTK",
// then the check byte TCK that makes the XOR of T0..TCK zero.
std::vector<std::uint8_t> cardAtr();

// Runs one command on the state, all or nothing: when processing throws, the
// state is left as it was and the answer is 6F00.
Answer runCommand(CardState& state, std::span<const std::uint8_t> command);

class CardToken : public Token {
 public:
  std::vector<std::uint8_t> atr() const override { return cardAtr(); }
  // The card state as it is now. Throws TokenError when it cannot be read.
  virtual CardState snapshot() = 0;

 protected:
  // How long the card takes to answer (PELU7_VTOKEN_TIMING when the token
  // was opened); each token waits it while it holds the card, as a busy card
  // keeps other programs waiting.
  const TimingModel timing_ = timingFromEnvironment();
};

std::unique_ptr<CardToken> makeMemoryToken(const TokenOptions& options);
std::unique_ptr<CardToken> makeFileToken(const std::string& path, const TokenOptions& options);
// The same with its own bound on the wait for the token file's lock.
std::unique_ptr<CardToken> makeFileToken(const std::string& path, const TokenOptions& options,
                                         std::chrono::milliseconds lockWait);

}  // namespace vtoken
