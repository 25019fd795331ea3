// RSA key and signature formats that the tool builds with OpenSSL around the
// token's raw 1024-bit key operations.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "data_io.h"
#include "common/secure_buffer.h"

namespace pelu7tool {

using common::SecureBytes;

inline constexpr std::size_t kModulusBytes = 128;
inline constexpr std::size_t kPrimeBytes = 64;

// A SubjectPublicKeyInfo (DER) for the modulus and the exponent 65537.
Bytes publicKeyDer(std::span<const std::uint8_t, kModulusBytes> modulus);
// The same as a PEM "PUBLIC KEY" text.
std::string publicKeyPem(std::span<const std::uint8_t, kModulusBytes> modulus);

// The components of a 1024-bit RSA private key with exponent 65537, as
// fixed-length big-endian numbers.
struct RsaKeyComponents {
  SecureBytes n = SecureBytes(kModulusBytes);
  SecureBytes p = SecureBytes(kPrimeBytes);
  SecureBytes q = SecureBytes(kPrimeBytes);
  SecureBytes dP = SecureBytes(kPrimeBytes);
  SecureBytes dQ = SecureBytes(kPrimeBytes);
  SecureBytes qInv = SecureBytes(kPrimeBytes);
};

// Reads a private key file (PEM, or DER) into components. ToolError when the
// file cannot be read or is not a 1024-bit RSA key with exponent 65537.
void loadRsaPrivateKey(const std::string& path, RsaKeyComponents& out);

using DigestBlock = std::array<std::uint8_t, kModulusBytes>;

// The SHA-256 digest of a file in a DigestInfo.
Bytes sha256DigestInfo(const std::string& path);
// The PKCS#1 v1.5 signature block 00 01 FF..FF 00 DigestInfo for a 1024-bit key.
DigestBlock pkcs1SignatureBlock(std::span<const std::uint8_t> digestInfo);

}  // namespace pelu7tool
