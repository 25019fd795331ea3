// The module's own user data files on the card (type 3, numbered down from
// 511), each starting with a magic so that the module never writes over a
// file another program keeps at one of these numbers.
//
//   511  token information: label, serial, whether the user PIN was set;
//        anybody reads, the super user writes.
//   510  object index: fixed records naming key pairs, certificates and data
//        objects with their CKA_ID and CKA_LABEL; anybody reads, the user
//        writes.
//   509 and down  payloads: a certificate's DER or a data object's value;
//        read by anybody, or only by the user for private objects.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "secure_bytes.h"

namespace p11 {

constexpr int kModuleFileType = 3;
constexpr int kTokenInfoFileNo = 511;
constexpr int kIndexFileNo = 510;
constexpr int kFirstPayloadFileNo = 509;
constexpr int kLastPayloadFileNo = 256;

constexpr std::size_t kMaxIdLength = 20;
constexpr std::size_t kMaxLabelLength = 32;
constexpr std::size_t kIndexRecords = 32;

struct TokenInfoRecord {
  std::string label;   // at most 32 bytes
  std::string serial;  // at most 16 bytes
  bool userPinSet = true;
};

enum class RecordKind : std::uint8_t { Free = 0, KeyPair = 1, Certificate = 2, Data = 3 };

struct IndexRecord {
  RecordKind kind = RecordKind::Free;
  bool isPrivate = false;
  bool local = false;     // a key pair generated through the module
  int ref = 0;            // key pair: public key file id; otherwise the payload file number
  Bytes id;
  Bytes label;
};

enum class FileState { Absent, Ours, Foreign };

struct IndexFile {
  FileState state = FileState::Absent;
  std::vector<IndexRecord> records;  // kIndexRecords entries when Ours
};

struct Payload {
  Bytes value;
  Bytes application;
  Bytes objectId;
};

// Codecs, exposed for the tests of torn and foreign files.
Bytes encodeTokenInfo(const TokenInfoRecord& info);
std::optional<TokenInfoRecord> decodeTokenInfo(const Bytes& bytes);
Bytes encodeIndexRecord(const IndexRecord& record);
std::optional<IndexRecord> decodeIndexRecord(const unsigned char* bytes);  // nullopt: torn or free
Bytes encodePayload(const Payload& payload);
std::optional<Payload> decodePayload(const Bytes& bytes);
// The whole size of a payload file from its header, or nullopt when the
// header is not the module's.
std::optional<std::size_t> payloadSize(const Bytes& header);
std::uint32_t crc32(const unsigned char* data, std::size_t length);
std::size_t payloadHeaderSize();
std::size_t indexRecordSize();

// Card operations; each runs inside a CardAccess. Failures throw CkError.
// Absent when the file does not exist or is not the module's.
std::optional<TokenInfoRecord> readTokenInfo(FileState* state = nullptr);
// Creates the file if needed; the super user must be logged in.
void writeTokenInfo(const TokenInfoRecord& info);
IndexFile readIndex();
// Writes one record, creating the index when the token has none yet; the
// user must be logged in. CKR_TOKEN_WRITE_PROTECTED on a foreign index.
void writeIndexRecord(IndexFile& index, std::size_t slot, const IndexRecord& record);
// A free record, or CKR_DEVICE_MEMORY.
std::size_t freeIndexSlot(const IndexFile& index);

// The payload of file number fileNo (nullopt when unreadable or not ours).
std::optional<Payload> readPayload(int fileNo);
// Creates a payload file at a free number and fills it; returns the number.
int storePayload(const Payload& payload, bool isPrivate, const IndexFile& index);
void deletePayload(int fileNo);

// Key pairs on the card: public key file ids and their moduli. Files left
// without a usable modulus (an interrupted generation) are skipped.
struct CardKeyPair {
  int publicId = 0;
  Bytes modulus;
};
std::vector<CardKeyPair> readKeyPairs();

}  // namespace p11
