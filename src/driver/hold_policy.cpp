#include "hold_policy.h"

#include "card/vocabulary.h"

namespace tkrdr {

bool beginsSequence(std::span<const std::uint8_t> command) {
  if (command.size() < 4) return false;
  const std::uint8_t cla = command[0];
  const std::uint8_t ins = command[1];
  const std::uint8_t p1 = command[2];
  if (cla == card::kClaIso) {
    return ins == card::kInsSelect || ins == card::kInsGetChallenge || ins == card::kInsVerify;
  }
  if (cla != card::kClaProprietary) return false;
  if (ins == card::kInsSsf33) return p1 == card::kSsf33LoadKey || p1 == card::kSsf33Probe;
  return ins == card::kInsRsaPrivate || ins == card::kInsChangePin || ins == card::kInsUnblockPin;
}

}  // namespace tkrdr
