// RSA key pairs on the card: the key pair counter, the two key files of a
// pair and the records written into them. Generation and import share these
// steps; the exports log the failures themselves, at their own lines.
//
// A pair takes file ids N (public key file) and N + 1 (private key file), N
// read from bytes 0-1 of the KeyPairCounterFile, which then holds N + 2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <source_location>

#include "card_layout.h"
#include "log.h"

namespace pelu7 {

inline constexpr int kRsaModulusBits = 1024;
inline constexpr std::size_t kRsaModulusSize = 128;
inline constexpr std::size_t kRsaPrimeSize = 64;  // p, q and the CRT values

// The modulus element: tag 6E, length 80, the 128 modulus bytes.
inline constexpr std::size_t kModulusElementSize = 2 + kRsaModulusSize;

// Written at offset 0 of the RsaPublicKeyFile: the modulus element, then the
// exponent element 65 03 01 00 01.
struct RsaPublicKeyRecord {
  static constexpr std::size_t kSize = kModulusElementSize + 5;
  std::uint8_t bytes[kSize] = {};
};

// Written at offset 0 of the RsaPrivateKeyFile: five elements of tag, length
// 40 and 64 value bytes, in the order q, dQ, p, dP, qInv. Wiped on scope exit.
inline constexpr std::size_t kRsaPrivateKeyRecordSize = 5 * (2 + kRsaPrimeSize);
struct RsaPrivateKeyRecord : SecretBytes<kRsaPrivateKeyRecordSize> {
  static constexpr std::size_t kSize = kRsaPrivateKeyRecordSize;
};

// The record from a modulus element as the card sent it, copied unchanged.
void fillPublicKeyRecordFromElement(RsaPublicKeyRecord& record, const std::uint8_t* modulusElement);
// The record from the 128 bytes of a modulus.
void fillPublicKeyRecord(RsaPublicKeyRecord& record, const std::uint8_t* modulus);
void fillPrivateKeyRecord(RsaPrivateKeyRecord& record, const std::uint8_t* p, const std::uint8_t* q,
                          const std::uint8_t* dP, const std::uint8_t* dQ, const std::uint8_t* qInv);

// The file ids of one key pair.
struct KeyPairIds {
  int publicFile = 0;
  int privateFile = 0;
};

// Takes the ids of the next pair on the card before any of its files exists:
// reads N from the counter, hands N and N + 1 to the caller's outputs, then
// writes N + 2 (modulo 65536). A refused counter write leaves the card as it
// was, and a later failure uses up the two ids instead of leaving files behind
// that would block every later pair. Failures are logged at the caller's
// line: -128 (counter unreadable, outputs untouched) or -127; else 0.
int takeKeyPairIds(KeyPairIds& ids, int* pubKeyId, int* priKeyId,
                   std::source_location site = std::source_location::current());

// CREATE FILE of a pair's key files: the card's status word.
int createRsaPublicKeyFile(int fileId);
int createRsaPrivateKeyFile(int fileId);

// Writes a record at offset 0 of a key file: 0, or the failing status word.
int writePublicKeyRecord(int fileId, const RsaPublicKeyRecord& record);
int writePrivateKeyRecord(int fileId, const RsaPrivateKeyRecord& record);

// The two lines that report a failed file write, at the caller's line: the
// step, then the status.
void logKeyFileWriteFailure(int status, std::source_location site = std::source_location::current());

}  // namespace pelu7
