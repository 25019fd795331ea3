#include "chaining_card.h"

namespace pcsctest {
namespace {

constexpr std::uint16_t kSwConditionsNotSatisfied = 0x6985;
constexpr std::uint16_t kSwInstructionUnknown = 0x6D00;
constexpr std::uint8_t kGetResponse = 0xC0;

}  // namespace

vtoken::Answer ChainingCard::transmit(std::span<const std::uint8_t> command) {
  std::vector<std::uint8_t> waiting;
  waiting.swap(pending_);  // whatever comes now, the waiting data is gone afterwards
  if (command.size() == 5 && command[0] == 0x00 && command[1] == kGetResponse) {
    if (waiting.empty() || command[4] != waiting.size()) return {{}, kSwConditionsNotSatisfied};
    return {common::SecureBytes(waiting.begin(), waiting.end()), 0x9000};
  }
  if (command.size() == 5 && command[0] == kClass && command[1] == kInstruction) {
    pending_.assign(kDataLength, command[3]);
    return {{}, static_cast<std::uint16_t>(0x6100 | kDataLength)};
  }
  return {{}, kSwInstructionUnknown};
}

std::vector<std::uint8_t> ChainingCard::atr() const {
  // Direct convention, T=1 only, then eight historical bytes and the check byte.
  std::vector<std::uint8_t> atr{0x3B, 0x88, 0x80, 0x01, 'C', 'H', 'A', 'I', 'N', 'I', 'N', 'G'};
  std::uint8_t check = 0;
  for (std::size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
  atr.push_back(check);
  return atr;
}

}  // namespace pcsctest
