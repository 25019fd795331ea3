// The binary form of a card state inside a token file. All numbers are big
// endian.
//
//   EEPROM part:
//     u8 SSF33 supported (0/1), u16 file count, then per file in id order:
//     u16 id, u8 type, u16 size, 4 access bytes, then
//       for a key file: u16 key count, per key in id order:
//         u8 id, u8 type, 4 attribute bytes, u8 value length, value
//       for other files: size content bytes
//   RAM part:
//     u8 security state, u8 external-authentication right (0/1),
//     u16 current file, u8 challenge length (0 or 8) and the challenge,
//     u8 SSF33 key length (0 or 16) and the key
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

#include "card_state.h"
#include "common/secure_buffer.h"

namespace vtoken {

using common::SecureBytes;

struct EncodedState {
  SecureBytes eeprom;
  SecureBytes ram;
};

EncodedState encodeState(const CardState& state);

// The RAM part as the token file keeps it: without the last challenge and
// the SSF33 key, secrets that never go to the disk.
SecureBytes encodeRamForFile(const CardState& state);

// Thrown when encoded bytes do not describe a valid card.
class StateFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Decodes and validates (sizes, types, counters, capacity, current file).
CardState decodeState(std::span<const std::uint8_t> eeprom, std::span<const std::uint8_t> ram);

// Decodes a RAM part into a state whose EEPROM part is already there, and
// checks it against that EEPROM (the current file must exist). On failure
// the state is left as it was.
void decodeRam(CardState& state, std::span<const std::uint8_t> ram);

}  // namespace vtoken
