#include "apdu.h"

namespace vtoken {

namespace {

std::size_t leValue(std::uint8_t byte) { return byte == 0 ? 256 : byte; }

}  // namespace

std::optional<Apdu> parseApdu(std::span<const std::uint8_t> command) {
  if (command.size() < 4) {
    return std::nullopt;
  }
  Apdu apdu;
  apdu.cla = command[0];
  apdu.ins = command[1];
  apdu.p1 = command[2];
  apdu.p2 = command[3];
  if (command.size() == 4) {  // case 1: no data, no answer expected
    return apdu;
  }
  if (command.size() == 5) {  // case 2: Le only
    apdu.le = leValue(command[4]);
    return apdu;
  }
  const std::size_t lc = command[4];
  if (lc == 0) {  // extended lengths are not supported by this card
    return std::nullopt;
  }
  if (command.size() == 5 + lc) {  // case 3: data only
    apdu.data = command.subspan(5, lc);
    return apdu;
  }
  if (command.size() == 6 + lc) {  // case 4: data and Le
    apdu.data = command.subspan(5, lc);
    apdu.le = leValue(command[5 + lc]);
    return apdu;
  }
  return std::nullopt;
}

}  // namespace vtoken
