#include "rsa_key_files.h"

#include <cstring>

#include "apdu.h"
#include "common/big_endian.h"
#include "transport.h"
#include "vorn_dal_pelu7.h"

namespace pelu7 {
namespace {

using card::kCreateFileDataLength;
using card::kCreateFileHeader;

// CREATE FILE data of the key files: file type, size (2 bytes), four access
// bytes. The public key file can be read freely and written by the user;
// the private key file is used and written by the user only.
constexpr std::uint8_t kRsaPublicKeyFileData[] = {
    card::kFileTypeRsaPublicKey, 0x00, 0x8C, kAccessFree, kAccessUser, kAccessFree, card::kAccessNever};
constexpr std::uint8_t kRsaPrivateKeyFileData[] = {
    card::kFileTypeRsaPrivateKey, 0x01, 0x50, kAccessUser, kAccessUser, 0xEF, card::kAccessNever};
static_assert(sizeof kRsaPublicKeyFileData == kCreateFileDataLength);
static_assert(sizeof kRsaPrivateKeyFileData == kCreateFileDataLength);

constexpr std::uint8_t kModulusTag = 0x6E;  // 'n'
constexpr std::uint8_t kExponentElement[] = {0x65, 0x03, 0x01, 0x00, 0x01};  // 'e', 3 bytes, 65537
static_assert(RsaPublicKeyRecord::kSize == kModulusElementSize + sizeof kExponentElement);

// Tags of the private key elements: 'q', 'Q', 'p', 'P', 'I'.
constexpr std::uint8_t kPrimeQTag = 0x71;
constexpr std::uint8_t kExponentQTag = 0x51;
constexpr std::uint8_t kPrimePTag = 0x70;
constexpr std::uint8_t kExponentPTag = 0x50;
constexpr std::uint8_t kCoefficientTag = 0x49;

constexpr std::size_t kCounterBytes = 2;

int createKeyFile(int fileId, const std::uint8_t (&data)[kCreateFileDataLength]) {
  CommandApdu create(kCreateFileHeader);
  create.append16(static_cast<unsigned>(fileId)).append(kCreateFileDataLength).append(data);
  Response response;
  return exchange(create, response);
}

std::uint8_t* putElement(std::uint8_t* at, std::uint8_t tag, const std::uint8_t* value, std::size_t length) {
  at[0] = tag;
  at[1] = static_cast<std::uint8_t>(length);
  std::memcpy(at + 2, value, length);
  return at + 2 + length;
}

}  // namespace

void fillPublicKeyRecordFromElement(RsaPublicKeyRecord& record, const std::uint8_t* modulusElement) {
  std::memcpy(record.bytes, modulusElement, kModulusElementSize);
  std::memcpy(record.bytes + kModulusElementSize, kExponentElement, sizeof kExponentElement);
}

void fillPublicKeyRecord(RsaPublicKeyRecord& record, const std::uint8_t* modulus) {
  std::uint8_t element[kModulusElementSize];
  putElement(element, kModulusTag, modulus, kRsaModulusSize);
  fillPublicKeyRecordFromElement(record, element);
}

void fillPrivateKeyRecord(RsaPrivateKeyRecord& record, const std::uint8_t* p, const std::uint8_t* q,
                          const std::uint8_t* dP, const std::uint8_t* dQ, const std::uint8_t* qInv) {
  std::uint8_t* at = record.bytes;
  at = putElement(at, kPrimeQTag, q, kRsaPrimeSize);
  at = putElement(at, kExponentQTag, dQ, kRsaPrimeSize);
  at = putElement(at, kPrimePTag, p, kRsaPrimeSize);
  at = putElement(at, kExponentPTag, dP, kRsaPrimeSize);
  putElement(at, kCoefficientTag, qInv, kRsaPrimeSize);
}

int takeKeyPairIds(KeyPairIds& ids, int* pubKeyId, int* priKeyId, std::source_location site) {
  std::uint8_t counter[kCounterBytes];
  if (PELU7_ReadFileBin(KeyPairCounterFile, 0, counter, kCounterBytes) != 0) {
    logText("******>PELU7_ReadFileBin", site);
    return cardFailure(VORN_DAL_ERR_READ_FILE);
  }
  const int pairId = common::getBigEndian16(counter);
  ids.publicFile = RsaPublicKeyFile(pairId);
  ids.privateFile = RsaPrivateKeyFile(pairId);
  *pubKeyId = ids.publicFile;
  *priKeyId = ids.privateFile;
  const int next = pairId + 2;
  std::uint8_t advanced[kCounterBytes];
  common::putBigEndian16(advanced, static_cast<std::uint16_t>(next));
  const int status = PELU7_WriteFileBin(KeyPairCounterFile, 0, advanced, kCounterBytes);
  if (status != 0) {
    logKeyFileWriteFailure(status, site);
    return cardFailure(VORN_DAL_ERR_WRITE_FILE);
  }
  return 0;
}

int createRsaPublicKeyFile(int fileId) { return createKeyFile(fileId, kRsaPublicKeyFileData); }

int createRsaPrivateKeyFile(int fileId) { return createKeyFile(fileId, kRsaPrivateKeyFileData); }

int writePublicKeyRecord(int fileId, const RsaPublicKeyRecord& record) {
  return PELU7_WriteFileBin(fileId, 0, record.bytes, RsaPublicKeyRecord::kSize);
}

int writePrivateKeyRecord(int fileId, const RsaPrivateKeyRecord& record) {
  return PELU7_WriteFileBin(fileId, 0, record.bytes, RsaPrivateKeyRecord::kSize);
}

void logKeyFileWriteFailure(int status, std::source_location site) {
  logText("******>PELU7_WriteFileBin", site);
  logFormatted("PELU7_WriteFileBin error:0X%X", status, site);
}

}  // namespace pelu7
