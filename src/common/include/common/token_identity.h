// A token's identity: 8 random bytes drawn the first time a program of this
// project sees the token formatted, kept in a user data file that every
// program reads (the PKCS#11 module in any process, the pelu7 tool). A
// format erases the file, so the next program to look draws a new identity;
// while the token's contents stay, the identity stays. The PKCS#11 module
// shows it as the token's serial number.
//
// The file: user data file type 3, number 255 (just below the module's
// payload files), readable and writable by anybody so that it can be made
// before anybody logs in. Its 24 bytes: "P7ID", a version byte (1), three
// zero bytes, the identity (8 bytes, never all zero), then the change
// counter of the module's files (4 bytes, big-endian), which every writer of
// those files moves, and 4 zero bytes. Reading this one file tells a program
// both whether the token is still the one it knew and whether the module's
// files changed since.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

namespace common {

using TokenIdentity = std::uint64_t;  // 0: not known

inline constexpr int kIdentityFileType = 3;
inline constexpr int kIdentityFileNo = 255;
inline constexpr std::size_t kIdentityFileSize = 24;
inline constexpr std::size_t kChangeCounterOffset = 16;
inline constexpr unsigned char kIdentityMagic[4] = {'P', '7', 'I', 'D'};
inline constexpr unsigned char kIdentityVersion = 1;

using IdentityBytes = std::array<unsigned char, kIdentityFileSize>;

inline std::array<unsigned char, 4> encodeChangeCounter(std::uint32_t counter) {
  return {static_cast<unsigned char>(counter >> 24), static_cast<unsigned char>(counter >> 16),
          static_cast<unsigned char>(counter >> 8), static_cast<unsigned char>(counter)};
}

inline IdentityBytes encodeIdentity(TokenIdentity identity, std::uint32_t counter = 0) {
  IdentityBytes bytes{};
  std::memcpy(bytes.data(), kIdentityMagic, sizeof kIdentityMagic);
  bytes[4] = kIdentityVersion;
  for (int i = 0; i < 8; ++i) bytes[8 + i] = static_cast<unsigned char>(identity >> (56 - 8 * i));
  const auto encoded = encodeChangeCounter(counter);
  std::copy(encoded.begin(), encoded.end(), bytes.begin() + kChangeCounterOffset);
  return bytes;
}

inline std::uint32_t decodeChangeCounter(const unsigned char* bytes) {
  const unsigned char* at = bytes + kChangeCounterOffset;
  return static_cast<std::uint32_t>(at[0]) << 24 | static_cast<std::uint32_t>(at[1]) << 16 |
         static_cast<std::uint32_t>(at[2]) << 8 | at[3];
}

// nullopt: not an identity file of this project (another program's bytes,
// a torn write, or the zero identity).
inline std::optional<TokenIdentity> decodeIdentity(const unsigned char* bytes) {
  if (std::memcmp(bytes, kIdentityMagic, sizeof kIdentityMagic) != 0 || bytes[4] != kIdentityVersion) {
    return std::nullopt;
  }
  if (bytes[5] != 0 || bytes[6] != 0 || bytes[7] != 0) return std::nullopt;
  if (bytes[20] != 0 || bytes[21] != 0 || bytes[22] != 0 || bytes[23] != 0) return std::nullopt;
  TokenIdentity identity = 0;
  for (int i = 0; i < 8; ++i) identity = identity << 8 | bytes[8 + i];
  if (identity == 0) return std::nullopt;
  return identity;
}

// A file made but never filled (its maker was stopped between the two
// writes): all zero, free to be filled by the next program.
inline bool blankIdentity(const unsigned char* bytes) {
  return std::all_of(bytes, bytes + kIdentityFileSize, [](unsigned char b) { return b == 0; });
}

// The serial number a token of this identity shows: 16 upper-case hex digits.
inline std::array<char, 16> identitySerial(TokenIdentity identity) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::array<char, 16> text{};
  for (int i = 0; i < 16; ++i) text[i] = kDigits[(identity >> (60 - 4 * i)) & 0x0F];
  return text;
}

}  // namespace common
