// Reading and writing the module's files and probing the key pairs through
// the DAL's data file and key exports.
#include "card_files.h"

#include <cstring>

#include "ck_error.h"
#include "dal_adapter.h"
#include "vorn_dal_pelu7.h"

namespace p11 {
namespace {

constexpr int kAnybody = 0;
constexpr int kUser = 1;
constexpr int kSuperUser = 2;
constexpr char kIndexMagic[] = "P11I";
constexpr std::size_t kIndexHeader = 16;
constexpr int kModulusBytes = 128;
constexpr int kMaxKeyFileId = 0xFFFF;
// Generations interrupted before their files were made leave gaps in the key
// file ids; the probe stops after this many missing pairs in a row.
constexpr int kMissingPairsToStop = 4;
constexpr int kFullCardProbes = 3;

int readFile(int fileNo, std::size_t offset, Bytes& out) {
  return VORN_DAL_ReadUsrDataFile(kModuleFileType, fileNo, static_cast<int>(offset),
                                  static_cast<int>(out.size()), out.data());
}

int writeFile(int fileNo, std::size_t offset, const Bytes& data) {
  return VORN_DAL_WriteUsrDataFile(kModuleFileType, fileNo, static_cast<int>(offset),
                                   static_cast<int>(data.size()), data.data());
}

// A module file could not be created at its number: a full card, or a number
// another program (or a deleted file) holds.
CK_RV refusedCreation(int fileNo) {
  unsigned char probe = 0;
  const int rc = VORN_DAL_ReadUsrDataFile(kModuleFileType, fileNo, 0, 1, &probe);
  return rc == VORN_DAL_ERR_READ_FILE ? CKR_DEVICE_MEMORY : CKR_TOKEN_WRITE_PROTECTED;
}

void createFile(int fileNo, std::size_t size, int readAccess, int writeAccess) {
  const int rc = VORN_DAL_CreateUsrDataFile(kModuleFileType, fileNo, static_cast<int>(size), readAccess,
                                            writeAccess);
  if (rc == VORN_DAL_ERR_CREATE_FILE) fail(refusedCreation(fileNo));
  check(rc, DalScope::Session);
}

bool usableModulus(const unsigned char* modulus) {
  return modulus[0] >= 0x80 && (modulus[kModulusBytes - 1] & 1) != 0;
}

}  // namespace

std::optional<TokenInfoRecord> readTokenInfo(FileState* state) {
  Bytes bytes(encodeTokenInfo({}).size());
  const int rc = readFile(kTokenInfoFileNo, 0, bytes);
  std::optional<TokenInfoRecord> info;
  FileState found = FileState::Absent;
  if (rc == 0) {
    info = decodeTokenInfo(bytes);
    found = info ? FileState::Ours : FileState::Foreign;
  } else if (rc == VORN_DAL_ERR_FILE_DELETED) {
    found = FileState::Foreign;
  } else if (isDeviceLost(rc)) {
    check(rc, DalScope::Slot);
  }
  if (state != nullptr) *state = found;
  return info;
}

void writeTokenInfo(const TokenInfoRecord& info) {
  FileState state = FileState::Absent;
  readTokenInfo(&state);
  require(state != FileState::Foreign, CKR_TOKEN_WRITE_PROTECTED);
  const Bytes bytes = encodeTokenInfo(info);
  if (state == FileState::Absent) createFile(kTokenInfoFileNo, bytes.size(), kAnybody, kSuperUser);
  check(writeFile(kTokenInfoFileNo, 0, bytes), DalScope::Session);
}

IndexFile readIndex() {
  IndexFile index;
  Bytes header(kIndexHeader);
  const int rc = readFile(kIndexFileNo, 0, header);
  if (rc != 0) {
    if (isDeviceLost(rc)) check(rc, DalScope::Session);
    index.state = rc == VORN_DAL_ERR_FILE_DELETED ? FileState::Foreign : FileState::Absent;
    return index;
  }
  if (std::memcmp(header.data(), kIndexMagic, 4) != 0) {
    index.state = FileState::Foreign;
    return index;
  }
  Bytes records(kIndexRecords * indexRecordSize());
  if (readFile(kIndexFileNo, kIndexHeader, records) != 0) {
    index.state = FileState::Foreign;
    return index;
  }
  index.state = FileState::Ours;
  index.records.resize(kIndexRecords);
  for (std::size_t i = 0; i < kIndexRecords; ++i) {
    // A torn or damaged record reads as free: its CRC does not match.
    if (auto record = decodeIndexRecord(&records[i * indexRecordSize()])) index.records[i] = *record;
  }
  return index;
}

void writeIndexRecord(IndexFile& index, std::size_t slot, const IndexRecord& record) {
  require(index.state != FileState::Foreign, CKR_TOKEN_WRITE_PROTECTED);
  if (index.state == FileState::Absent) {
    Bytes whole(kIndexHeader + kIndexRecords * indexRecordSize(), 0);
    std::memcpy(whole.data(), kIndexMagic, 4);
    whole[4] = 1;
    createFile(kIndexFileNo, whole.size(), kAnybody, kUser);
    check(writeFile(kIndexFileNo, 0, whole), DalScope::Session);
    index.state = FileState::Ours;
    index.records.assign(kIndexRecords, IndexRecord{});
  }
  check(writeFile(kIndexFileNo, kIndexHeader + slot * indexRecordSize(), encodeIndexRecord(record)),
        DalScope::Session);
  index.records[slot] = record;
}

std::size_t freeIndexSlot(const IndexFile& index) {
  require(index.state != FileState::Foreign, CKR_TOKEN_WRITE_PROTECTED);
  if (index.state == FileState::Absent) return 0;
  for (std::size_t i = 0; i < index.records.size(); ++i) {
    if (index.records[i].kind == RecordKind::Free) return i;
  }
  fail(CKR_DEVICE_MEMORY);
}

std::optional<Payload> readPayload(int fileNo) {
  Bytes header(payloadHeaderSize());
  if (readFile(fileNo, 0, header) != 0) return std::nullopt;
  const auto size = payloadSize(header);
  if (!size) return std::nullopt;
  Bytes whole(*size);
  if (readFile(fileNo, 0, whole) != 0) return std::nullopt;
  return decodePayload(whole);
}

int storePayload(const Payload& payload, bool isPrivate, const IndexFile& index) {
  const Bytes bytes = encodePayload(payload);
  int fullCardProbes = 0;
  for (int fileNo = kFirstPayloadFileNo; fileNo >= kLastPayloadFileNo; --fileNo) {
    bool listed = false;
    for (const auto& record : index.records) {
      listed = listed || (record.kind != RecordKind::KeyPair && record.kind != RecordKind::Free &&
                          record.ref == fileNo);
    }
    if (listed) continue;
    const int rc = VORN_DAL_CreateUsrDataFile(kModuleFileType, fileNo, static_cast<int>(bytes.size()),
                                              isPrivate ? kUser : kAnybody, kUser);
    if (rc == VORN_DAL_ERR_CREATE_FILE) {
      // Taken by a deleted or foreign file: try the next number. A number
      // that reads as absent was refused for lack of space.
      if (refusedCreation(fileNo) == CKR_DEVICE_MEMORY && ++fullCardProbes >= kFullCardProbes) {
        fail(CKR_DEVICE_MEMORY);
      }
      continue;
    }
    check(rc, DalScope::Session);
    check(writeFile(fileNo, 0, bytes), DalScope::Session);
    return fileNo;
  }
  fail(CKR_DEVICE_MEMORY);
}

void deletePayload(int fileNo) { check(VORN_DAL_DeleteUsrDataFile(kModuleFileType, fileNo), DalScope::Session); }

std::vector<CardKeyPair> readKeyPairs() {
  std::vector<CardKeyPair> pairs;
  int missing = 0;
  for (int id = 1; id < kMaxKeyFileId && missing < kMissingPairsToStop; id += 2) {
    unsigned char modulus[kModulusBytes];
    int length = 0;
    const int rc = VORN_DAL_GetPublicKey(id, modulus, &length);
    if (isDeviceLost(rc)) check(rc, DalScope::Session);
    if (rc != 0) {
      ++missing;
      continue;
    }
    missing = 0;
    if (length == kModulusBytes && usableModulus(modulus)) pairs.push_back({id, Bytes(modulus, modulus + length)});
  }
  return pairs;
}

}  // namespace p11
