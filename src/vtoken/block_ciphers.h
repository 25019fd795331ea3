// The card's symmetric block operations, over OpenSSL EVP.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vtoken {

// Two-key triple DES in ECB mode of one 8-byte block: key bytes 0-7 are the
// first and third DES key, bytes 8-15 the second.
std::array<std::uint8_t, 8> tripleDesEncryptBlock(std::span<const std::uint8_t, 16> key,
                                                  std::span<const std::uint8_t, 8> block);

// One 16-byte block of the card's SSF33 cipher. SSF33 is an undisclosed
// algorithm, so this card model computes SM4 (ECB, no padding) in its place: a
// 128-bit block cipher with a 128-bit key, like SSF33. Its results therefore
// differ from those of a real card's SSF33.
std::array<std::uint8_t, 16> ssf33Block(bool encrypt, std::span<const std::uint8_t, 16> key,
                                        std::span<const std::uint8_t, 16> block);

}  // namespace vtoken
