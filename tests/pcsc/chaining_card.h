// A card that hands out its answers in two steps, as T=0 cards do: a command
// 80 10 00 TAG 00 is answered 61 20 ("32 bytes waiting"), and the 32 bytes
// (each equal to TAG) come with the GET RESPONSE (00 C0 00 00 20) that
// follows. Any other command in between makes the card forget them, so a
// GET RESPONSE that is not the very next command gets 6985. Served over vpcd,
// it shows whether a reader driver keeps the two steps of one command
// together when other programs use the same card.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "vtoken/token.h"

namespace pcsctest {

class ChainingCard : public vtoken::Token {
 public:
  static constexpr std::uint8_t kClass = 0x80;
  static constexpr std::uint8_t kInstruction = 0x10;
  static constexpr std::size_t kDataLength = 32;

  vtoken::Answer transmit(std::span<const std::uint8_t> command) override;
  void reset() override { pending_.clear(); }
  std::vector<std::uint8_t> atr() const override;

 private:
  std::vector<std::uint8_t> pending_;
};

}  // namespace pcsctest
