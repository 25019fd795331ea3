// The card's vocabulary, in one place: the class and instruction bytes of
// every command the library sends and the virtual token understands, the
// fixed command headers, the status words (one name each), and the ids,
// types and access bytes of the card layout. The DAL builds its commands
// from these, the driver reads them to redact and chain, the virtual token
// dispatches on them, so what goes on the wire can be held against the card
// command list here.
#pragma once

#include <array>
#include <cstdint>

namespace card {

// Classes.
inline constexpr std::uint8_t kClaIso = 0x00;
inline constexpr std::uint8_t kClaProprietary = 0x80;

// Instruction bytes.
inline constexpr std::uint8_t kInsSelect = 0xA4;
inline constexpr std::uint8_t kInsReadBinary = 0xB0;
inline constexpr std::uint8_t kInsUpdateBinary = 0xD6;
inline constexpr std::uint8_t kInsCreateFile = 0xE0;
inline constexpr std::uint8_t kInsErase = 0x0E;
inline constexpr std::uint8_t kInsWriteKey = 0xD4;
inline constexpr std::uint8_t kInsGetChallenge = 0x84;
inline constexpr std::uint8_t kInsExternalAuthenticate = 0x82;
inline constexpr std::uint8_t kInsVerify = 0x20;
inline constexpr std::uint8_t kInsChangePin = 0x24;
inline constexpr std::uint8_t kInsUnblockPin = 0x2C;
inline constexpr std::uint8_t kInsGenerateRsaKey = 0xCE;
inline constexpr std::uint8_t kInsRsaPrivate = 0xC2;
inline constexpr std::uint8_t kInsSsf33 = 0x78;
inline constexpr std::uint8_t kInsGetResponse = 0xC0;

// P1 of the SSF33 command: what it does; P2 of the two block commands and of
// the key load names the one SSF33 key.
inline constexpr std::uint8_t kSsf33Encrypt = 0x00;
inline constexpr std::uint8_t kSsf33Decrypt = 0x01;
inline constexpr std::uint8_t kSsf33Probe = 0x04;
inline constexpr std::uint8_t kSsf33LoadKey = 0x05;
inline constexpr std::uint8_t kSsf33KeyReference = 0xFF;
inline constexpr std::uint8_t kSsf33BlockSize = 16;

// P1 of WRITE KEY: install a key object.
inline constexpr std::uint8_t kWriteKeyInstall = 0x01;

// Lengths fixed by the commands.
inline constexpr std::uint8_t kFileIdLength = 2;
inline constexpr std::uint8_t kChallengeLength = 8;
inline constexpr std::uint8_t kCreateFileDataLength = 7;

// Fixed command headers: CLA INS P1 P2 and, where fixed, P3.
using Header2 = std::array<std::uint8_t, 2>;
using Header3 = std::array<std::uint8_t, 3>;
using Header4 = std::array<std::uint8_t, 4>;
using Header5 = std::array<std::uint8_t, 5>;
inline constexpr Header5 kSelectHeader = {kClaIso, kInsSelect, 0x00, 0x00, kFileIdLength};
inline constexpr Header2 kReadBinaryHeader = {kClaIso, kInsReadBinary};
inline constexpr Header2 kUpdateBinaryHeader = {kClaIso, kInsUpdateBinary};
inline constexpr Header2 kCreateFileHeader = {kClaProprietary, kInsCreateFile};
inline constexpr Header5 kEraseHeader = {kClaProprietary, kInsErase, 0x00, 0x00, 0x00};
inline constexpr Header3 kWriteKeyHeader = {kClaProprietary, kInsWriteKey, kWriteKeyInstall};
inline constexpr Header5 kGetChallengeHeader = {kClaIso, kInsGetChallenge, 0x00, 0x00, kChallengeLength};
inline constexpr Header3 kExternalAuthenticateHeader = {kClaIso, kInsExternalAuthenticate, 0x00};
inline constexpr Header3 kVerifyHeader = {kClaIso, kInsVerify, 0x00};
inline constexpr Header3 kChangePinHeader = {kClaProprietary, kInsChangePin, 0x00};
inline constexpr Header3 kUnblockPinHeader = {kClaProprietary, kInsUnblockPin, 0x00};
inline constexpr Header2 kGenerateRsaKeyHeader = {kClaProprietary, kInsGenerateRsaKey};
inline constexpr Header2 kRsaPrivateHeader = {kClaProprietary, kInsRsaPrivate};
inline constexpr Header5 kSsf33ProbeHeader = {kClaProprietary, kInsSsf33, kSsf33Probe, 0x00, 0x00};
inline constexpr Header5 kSsf33LoadKeyHeader = {kClaProprietary, kInsSsf33, kSsf33LoadKey, kSsf33KeyReference,
                                                kSsf33BlockSize};
inline constexpr Header5 kSsf33EncryptHeader = {kClaProprietary, kInsSsf33, kSsf33Encrypt, kSsf33KeyReference,
                                                kSsf33BlockSize};
inline constexpr Header5 kSsf33DecryptHeader = {kClaProprietary, kInsSsf33, kSsf33Decrypt, kSsf33KeyReference,
                                                kSsf33BlockSize};
inline constexpr Header4 kGetResponseHeader = {kClaIso, kInsGetResponse, 0x00, 0x00};

// Status words (SW1 SW2 as one number).
inline constexpr std::uint16_t kSwOk = 0x9000;
inline constexpr std::uint16_t kSwMemoryFailure = 0x6581;
inline constexpr std::uint16_t kSwWrongLength = 0x6700;
inline constexpr std::uint16_t kSwIncompatibleFile = 0x6981;  // wrong file type for the command
inline constexpr std::uint16_t kSwSecurityNotSatisfied = 0x6982;
inline constexpr std::uint16_t kSwBlocked = 0x6983;
inline constexpr std::uint16_t kSwConditionsNotSatisfied = 0x6985;
inline constexpr std::uint16_t kSwNoCurrentEf = 0x6986;
inline constexpr std::uint16_t kSwWrongData = 0x6A80;
inline constexpr std::uint16_t kSwFileNotFound = 0x6A82;
inline constexpr std::uint16_t kSwNotEnoughMemory = 0x6A84;
inline constexpr std::uint16_t kSwWrongP1P2 = 0x6A86;
inline constexpr std::uint16_t kSwReferenceNotFound = 0x6A88;
inline constexpr std::uint16_t kSwFileExists = 0x6A89;
inline constexpr std::uint16_t kSwBeyondEnd = 0x6B00;
inline constexpr std::uint16_t kSwUnknownInstruction = 0x6D00;
inline constexpr std::uint16_t kSwUnknownClass = 0x6E00;
inline constexpr std::uint16_t kSwNoPreciseDiagnosis = 0x6F00;

// SW1 values that carry a length in SW2.
inline constexpr std::uint8_t kSw1MoreData = 0x61;     // 61xx: xx bytes wait for GET RESPONSE
inline constexpr std::uint8_t kSw1WrongLength = 0x6C;  // 6Cxx: send again with Le = xx

// 63Cx: a wrong secret was presented, x tries are left (0 means now blocked).
inline constexpr std::uint16_t kSwTriesLeftBase = 0x63C0;
constexpr std::uint16_t swTriesLeft(unsigned tries) {
  return static_cast<std::uint16_t>(kSwTriesLeftBase | (tries & 0x0F));
}
constexpr bool isTriesLeft(int status) { return (status & 0xFFF0) == kSwTriesLeftBase; }
constexpr unsigned triesLeftOf(int status) { return static_cast<unsigned>(status & 0x0F); }

// The card layout: files under the master file.
inline constexpr std::uint16_t kMfId = 0x3F00;
inline constexpr std::uint16_t kKeyFileId = 0x0000;
inline constexpr std::uint16_t kGlobalInfoFileId = 0x1FF3;
inline constexpr std::uint16_t kKeyPairCounterFileId = 0x1FF4;
inline constexpr std::uint16_t kPinCheckFlagFileId = 0x1FF5;
inline constexpr std::uint16_t kSuperUserPinCheckFlagFileId = 0x1FF6;
inline constexpr std::uint16_t kReservedFileId = 0xFFFF;

// File types of CREATE FILE.
inline constexpr std::uint8_t kFileTypeTransparent = 0x28;
inline constexpr std::uint8_t kFileTypeRsaPublicKey = 0x3E;
inline constexpr std::uint8_t kFileTypeRsaPrivateKey = 0x3D;
inline constexpr std::uint8_t kFileTypeKeyFile = 0x3F;

// Access bytes: which security state a file's operation admits.
inline constexpr std::uint8_t kAccessFree = 0xF0;       // any state
inline constexpr std::uint8_t kAccessUser = 0xAA;       // state A: user logged in
inline constexpr std::uint8_t kAccessSuperUser = 0xCC;  // state C: super user logged in
inline constexpr std::uint8_t kAccessNever = 0xFF;      // no state

// Objects of the key file (key ids) and their types.
inline constexpr std::uint8_t kVornExternalKeyId = 0x00;
inline constexpr std::uint8_t kUserPinId = 0x01;
inline constexpr std::uint8_t kSuperUserPinId = 0x02;
inline constexpr std::uint8_t kLogoutPinId = 0x03;
inline constexpr std::uint8_t kUnlockPinKeyId = 0x04;
inline constexpr std::uint8_t kKeyTypeExternalAuth = 0x39;  // 16-byte two-key triple-DES key
inline constexpr std::uint8_t kKeyTypePin = 0x3A;           // 8-byte PIN value
inline constexpr std::uint8_t kKeyTypeUnblock = 0x3B;       // 8-byte unblock value

}  // namespace card
