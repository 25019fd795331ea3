// Short command APDUs as the card receives them: CLA INS P1 P2, then either
// nothing, one Le byte, or Lc and Lc data bytes optionally followed by Le.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vtoken {

struct Apdu {
  std::uint8_t cla = 0;
  std::uint8_t ins = 0;
  std::uint8_t p1 = 0;
  std::uint8_t p2 = 0;
  std::span<const std::uint8_t> data;  // the command data (empty when there is no Lc)
  std::optional<std::size_t> le;       // expected answer length; an Le byte 00 means 256

  std::uint16_t p1p2() const { return static_cast<std::uint16_t>(p1 << 8 | p2); }
  bool hasData() const { return !data.empty(); }
};

// Splits a command into its fields; std::nullopt when its length does not
// fit any of the four short APDU cases. The data span points into command.
std::optional<Apdu> parseApdu(std::span<const std::uint8_t> command);

}  // namespace vtoken
