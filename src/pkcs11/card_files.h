// The module's own user data files on the card (type 3, numbered down from
// 511), each starting with a magic so that the module never writes over a
// file another program keeps at one of these numbers.
//
//   511  token information: label, serial, whether the user PIN was set;
//        anybody reads, the super user writes.
//   510  object index: fixed records naming key pairs, certificates and data
//        objects with their CKA_ID and CKA_LABEL; anybody reads, the user
//        writes.
//   255  the token's identity and the change counter of these files
//        (common/token_identity.h), shared with the pelu7 tool; anybody
//        reads and writes it.
//   509 and down  payloads: a certificate's DER or a data object's value;
//        read by anybody, or only by the user for private objects.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bytes.h"
#include "common/token_identity.h"

namespace p11 {

class Card;

constexpr int kTokenInfoFileNo = 511;
constexpr int kIndexFileNo = 510;
constexpr int kFirstPayloadFileNo = 509;
constexpr int kLastPayloadFileNo = 256;

constexpr std::size_t kMaxIdLength = 20;
constexpr std::size_t kMaxLabelLength = 32;
constexpr std::size_t kIndexRecords = 32;
// The largest payload file the module writes or reads: its size travels in
// 16 bits, and no token holds more.
constexpr std::size_t kMaxPayloadSize = 0xFFFF;

struct TokenInfoRecord {
  std::string label;   // at most 32 bytes
  std::string serial;  // at most 16 bytes
  bool userPinSet = true;
};

enum class RecordKind : std::uint8_t { Free = 0, KeyPair = 1, Certificate = 2, Data = 3 };

struct IndexRecord {
  RecordKind kind = RecordKind::Free;
  bool isPrivate = false;
  bool local = false;          // a key pair generated through the module
  int ref = 0;                 // key pair: public key file id; otherwise the payload file number
  std::size_t payloadSize = 0;  // the payload file's size; 0 in records of earlier writers
  Bytes id;
  Bytes label;
  bool operator==(const IndexRecord&) const = default;
};

enum class FileState { Absent, Ours, Foreign };

// The index header: every writer of the module's files bumps the generation
// (before it writes), so that other programs learn of a change by reading
// 16 bytes; the instance is drawn when the index is made, so that a token
// formatted and filled again is never taken for the one seen before.
//
// It also tells how many records from the first may be in use (the highest
// used record's number plus one), so that a reader reads only those; -1 when
// not known (a header of an earlier writer, which leaves the byte zero, so
// that a header it rewrites says "not known" again).
struct IndexHeader {
  std::uint32_t generation = 0;
  std::uint32_t instance = 0;
  int recordsInUse = -1;
  bool operator==(const IndexHeader&) const = default;
};

struct IndexFile {
  FileState state = FileState::Absent;
  IndexHeader header;
  std::vector<IndexRecord> records;  // kIndexRecords entries when Ours and read whole
  // The change counter this process's own last write left (see card_view).
  std::optional<std::uint32_t> counterAfterWrite;
};

struct Payload {
  Bytes value;
  Bytes application;
  Bytes objectId;
};

// Codecs of the bytes any program can write to the card: a decoder takes
// nothing on trust, and nullopt means "not the module's".
Bytes encodeTokenInfo(const TokenInfoRecord& info);
std::optional<TokenInfoRecord> decodeTokenInfo(const Bytes& bytes);
Bytes encodeIndexHeader(const IndexHeader& header);
std::optional<IndexHeader> decodeIndexHeader(const Bytes& bytes);
// The whole index file: its header and every record (torn or free records
// read as free).
std::optional<IndexFile> decodeIndex(const Bytes& bytes);
Bytes encodeIndexRecord(const IndexRecord& record);
std::optional<IndexRecord> decodeIndexRecord(const unsigned char* bytes);  // nullopt: torn or free
Bytes encodePayload(const Payload& payload);
std::optional<Payload> decodePayload(const Bytes& bytes);
// The whole size of a payload file from its header, or nullopt when the
// header is not the module's (a size beyond kMaxPayloadSize included).
std::optional<std::size_t> payloadSize(const Bytes& header);
std::uint32_t crc32(const unsigned char* data, std::size_t length);
std::size_t tokenInfoSize();
std::size_t indexHeaderSize();
std::size_t indexFileSize();
std::size_t payloadHeaderSize();
std::size_t indexRecordSize();

// Card operations, each inside the bracket of a Card. Failures throw CkError.
// Absent when the file does not exist or is not the module's.
std::optional<TokenInfoRecord> readTokenInfo(Card& card, FileState* state = nullptr);
// Creates the file if needed; the super user must be logged in.
void writeTokenInfo(Card& card, const TokenInfoRecord& info);
// The index header only (records left empty): the cheap change check.
IndexFile readIndexHeader(Card& card);
// The whole index: its header, then the records in use (all of them when
// the header does not say how many are).
IndexFile readIndex(Card& card);
// The records of an index whose header was just read (in the same bracket).
IndexFile readIndexRecords(Card& card, const IndexFile& header);
// Writes one record, creating the index when the token has none yet, and
// bumps the generation first; the user must be logged in.
// CKR_TOKEN_WRITE_PROTECTED on a foreign index.
void writeIndexRecord(Card& card, IndexFile& index, std::size_t slot, const IndexRecord& record);
// Moves the change counter in the identity file (every writer of the
// module's files does, before it writes); the counter now, nullopt when the
// token has no identity file.
std::optional<std::uint32_t> moveChangeCounter(Card& card);
// Bumps the generation alone (before a change that writes no record).
void bumpGeneration(Card& card, IndexFile& index);
// A free record, or CKR_DEVICE_MEMORY.
std::size_t freeIndexSlot(const IndexFile& index);

using common::TokenIdentity;

// The identity file as found: Ours with the identity, Absent, or Foreign
// (another program's bytes, or a file marked deleted); blank when it was
// made but never filled.
struct IdentityRead {
  FileState state = FileState::Absent;
  TokenIdentity identity = 0;
  std::uint32_t changes = 0;  // the change counter of the module's files
  bool blank = false;
};
IdentityRead readIdentityFile(Card& card);
TokenIdentity randomIdentity();
// Fills the identity file with `identity` where the token has none yet (or
// a blank one), making it when absent; returns the file as the token holds
// it afterwards (another program may have been first), not Ours when none
// can be had (a full card, a foreign file).
IdentityRead makeIdentityFile(Card& card, const IdentityRead& found, TokenIdentity identity);

struct PayloadRead {
  bool readable = false;           // false: absent, or private without the card's login
  std::optional<Payload> payload;  // when readable: nullopt if not the module's
};
// The payload of file number fileNo; knownSize (from its record, 0 when not
// known) lets it be read in one go.
PayloadRead readPayload(Card& card, int fileNo, std::size_t knownSize);
// Creates a payload file at a free number and fills it; returns the number.
int storePayload(Card& card, const Bytes& encoded, bool isPrivate, const IndexFile& index);
void deletePayload(Card& card, int fileNo);

}  // namespace p11
