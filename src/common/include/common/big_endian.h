#pragma once

// Big-endian integers in byte buffers, as the card's files, the token's own
// files and the hash-based padding store them (most significant byte first).
// The caller gives room for (or holds) at least 2 or 4 bytes at the pointer.

#include <cstdint>

namespace common {

inline void putBigEndian16(std::uint8_t* out, std::uint16_t value) {
  out[0] = static_cast<std::uint8_t>(value >> 8);
  out[1] = static_cast<std::uint8_t>(value);
}

inline void putBigEndian32(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value >> 24);
  out[1] = static_cast<std::uint8_t>(value >> 16);
  out[2] = static_cast<std::uint8_t>(value >> 8);
  out[3] = static_cast<std::uint8_t>(value);
}

inline std::uint16_t getBigEndian16(const std::uint8_t* in) {
  return static_cast<std::uint16_t>(in[0] << 8 | in[1]);
}

inline std::uint32_t getBigEndian32(const std::uint8_t* in) {
  return static_cast<std::uint32_t>(in[0]) << 24 | static_cast<std::uint32_t>(in[1]) << 16 |
         static_cast<std::uint32_t>(in[2]) << 8 | in[3];
}

}  // namespace common
