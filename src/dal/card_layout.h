// The card layout that formatting builds and every other operation relies on:
// a flat file system under the MF, a key file with five PIN and key objects,
// fixed elementary files, and the numbering of user data and key-pair files.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>

#include "card/vocabulary.h"
#include "common/secure_buffer.h"

namespace pelu7 {

// Files directly under the master file.
inline constexpr int MF = card::kMfId;
inline constexpr int KeyFile = card::kKeyFileId;
inline constexpr int GlobalInfoFile = card::kGlobalInfoFileId;
inline constexpr int KeyPairCounterFile = card::kKeyPairCounterFileId;
inline constexpr int PinCheckFlagFile = card::kPinCheckFlagFileId;
inline constexpr int SuperUserPinCheckFlagFile = card::kSuperUserPinCheckFlagFileId;

// Objects of the key file (key ids).
inline constexpr std::uint8_t VornExternalKey = card::kVornExternalKeyId;
inline constexpr std::uint8_t UserPin = card::kUserPinId;
inline constexpr std::uint8_t SuperUserPin = card::kSuperUserPinId;
inline constexpr std::uint8_t LogoutPin = card::kLogoutPinId;
inline constexpr std::uint8_t UnlockPinKey = card::kUnlockPinKeyId;

// Access bytes of transparent files.
enum AccessByte : std::uint8_t {
  kAccessFree = card::kAccessFree,            // any security state
  kAccessUser = card::kAccessUser,            // state A: user logged in
  kAccessSuperUser = card::kAccessSuperUser,  // state C: super user logged in
};

// Sizes of the fixed files.
inline constexpr int kFlagFileSize = 4;
inline constexpr int kKeyPairCounterFileSize = 8;

// User data files: id = 0x0200 * type + number (modulo 0x10000), with a
// 2-byte header (status byte, then one byte not interpreted) before the data.
inline constexpr int kUsrDataFileTypeStride = 0x0200;
inline constexpr int kUsrDataHeaderSize = 2;
inline constexpr std::uint8_t kUsrDataLive = 0x01;
inline constexpr std::uint8_t kUsrDataDeleted = 0x00;

inline constexpr int UsrDataFile(int type, int number) {
  // In unsigned arithmetic: any int number wraps instead of overflowing.
  const unsigned id = static_cast<unsigned>(kUsrDataFileTypeStride) * static_cast<unsigned>(type) +
                      static_cast<unsigned>(number);
  return static_cast<int>(id & 0xFFFFu);
}

// Key pairs take ids N (public key file) and N + 1 (private key file), N read
// from bytes 0-1 of the KeyPairCounterFile. The ids are handed to the caller
// as they are (N + 1 is 65536 for N = FFFF); only the commands carry them in
// 16 bits.
inline constexpr int RsaPublicKeyFile(int pairId) { return pairId; }
inline constexpr int RsaPrivateKeyFile(int pairId) { return pairId + 1; }

// Fixed PIN texts of the library.
inline constexpr char kLogoutPinText[] = "40596137";
inline constexpr char kUnlockPinText[] = "73018264";

// The 8-byte card value of a PIN text.
inline constexpr unsigned kPinValueSize = 8;

// A derived PIN value or key on the stack, wiped when it goes out of scope.
using common::SecretBytes;
using PinValue = SecretBytes<kPinValueSize>;

// Objects that formatting installs in the key file with WRITE KEY: type byte
// and four attribute bytes (the third is the security state a successful
// presentation sets, the fourth the error counter: six tries).
struct KeyObject {
  std::uint8_t keyId;
  std::uint8_t type;
  std::uint8_t attributes[4];
};
using card::kKeyTypeExternalAuth;
using card::kKeyTypePin;
using card::kKeyTypeUnblock;
inline constexpr KeyObject kVornExternalKeyObject{VornExternalKey, kKeyTypeExternalAuth, {0xF0, 0xAA, 0x0A, 0x66}};
inline constexpr KeyObject kUserPinObject{UserPin, kKeyTypePin, {0xF0, 0xEF, 0x0A, 0x66}};
inline constexpr KeyObject kSuperUserPinObject{SuperUserPin, kKeyTypePin, {0xF0, 0xEF, 0x0C, 0x66}};
inline constexpr KeyObject kLogoutPinObject{LogoutPin, kKeyTypePin, {0xF0, 0xEF, 0x07, 0x66}};
inline constexpr KeyObject kUnlockPinKeyObject{UnlockPinKey, kKeyTypeUnblock, {0xF0, 0x0F, 0x01, 0x66}};

// Writes the first n (at most 8) bytes of the SHA-1 digest of the text;
// returns -1 and writes nothing when n is above 8.
int DerivePinValue(const unsigned char* text, int textLen, unsigned char* out, unsigned n);

// Derives a PIN text of the caller, or one of the library's fixed texts.
void derivePin(const unsigned char* text, int textLen, PinValue& out);
void deriveFixedPin(const char (&text)[9], PinValue& out);

}  // namespace pelu7
