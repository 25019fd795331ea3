// RSA inside the card: 1024-bit key generation and the raw private-key
// operation on the CRT record kept in a private key file.
//
// Private key record (330 bytes at offset 0 of the file): five elements of 66
// bytes, each a tag byte, the length byte 40 and 64 value bytes, most
// significant first, in this order: 71 q, 51 dQ, 70 p, 50 dP, 49 qInv. The
// modulus is p * q; the public exponent is always 65537.
#pragma once

#include "common/secure_buffer.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vtoken {

using common::SecureBytes;

inline constexpr std::size_t kModulusLength = 128;
inline constexpr std::size_t kRsaElementLength = 64;
inline constexpr std::size_t kRsaRecordLength = 5 * (2 + kRsaElementLength);

struct GeneratedRsaKey {
  SecureBytes record;                 // kRsaRecordLength bytes
  std::vector<std::uint8_t> modulus;  // kModulusLength bytes
};

// A fresh 1024-bit key with e = 65537. Throws std::runtime_error when OpenSSL fails.
GeneratedRsaKey generateRsaKey1024();

enum class RsaStatus { kOk, kNoValidKey, kInputOutOfRange };

// Raw RSA (no padding) with the private key in record: output receives
// kModulusLength bytes, left-padded with zeros. kNoValidKey when the record
// does not hold a well-formed 1024-bit key, kInputOutOfRange when the input
// is not below the modulus. Throws std::runtime_error when OpenSSL fails.
RsaStatus rsaPrivateRaw(std::span<const std::uint8_t> record, std::span<const std::uint8_t> input,
                        SecureBytes& output);

// Whether record holds a well-formed 1024-bit key (for descriptions).
bool holdsRsaKey(std::span<const std::uint8_t> record);

}  // namespace vtoken
