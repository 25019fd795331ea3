// Reading and writing the module's files through the card's data file calls.
// Each file is read with one call where its size is known.
#include "card_files.h"

#include <openssl/rand.h>

#include <algorithm>

#include "card.h"
#include "ck_error.h"

namespace p11 {
namespace {

constexpr int kFullCardProbes = 3;

// A module file could not be created at its number: a full card, or a number
// another program (or a deleted file) holds.
CK_RV refusedCreation(Card& card, int fileNo) {
  return card.fileNumberFree(fileNo) ? CKR_DEVICE_MEMORY : CKR_TOKEN_WRITE_PROTECTED;
}

void createFile(Card& card, int fileNo, std::size_t size, Access read, Access write) {
  switch (card.createFile(fileNo, size, read, write)) {
    case FileCreate::Ok:
      return;
    case FileCreate::Taken:
      fail(refusedCreation(card, fileNo));
    case FileCreate::NotMarked:
      break;
  }
  fail(CKR_USER_NOT_LOGGED_IN);
}

void writeWhole(Card& card, int fileNo, std::size_t offset, const Bytes& data) {
  switch (card.writeFile(fileNo, offset, data.data(), data.size())) {
    case FileWrite::Ok:
      return;
    case FileWrite::Deleted:
      fail(CKR_TOKEN_WRITE_PROTECTED);
    case FileWrite::Refused:
      break;
  }
  fail(CKR_USER_NOT_LOGGED_IN);
}

std::uint32_t randomInstance() {
  std::uint32_t instance = 0;
  unsigned char bytes[4];
  require(RAND_bytes(bytes, sizeof bytes) == 1, CKR_FUNCTION_FAILED);
  for (unsigned char byte : bytes) instance = instance << 8 | byte;
  return instance;
}

}  // namespace

std::optional<TokenInfoRecord> readTokenInfo(Card& card, FileState* state) {
  Bytes bytes(tokenInfoSize());
  std::optional<TokenInfoRecord> info;
  FileState found = FileState::Absent;
  switch (card.readFile(kTokenInfoFileNo, 0, bytes.data(), bytes.size())) {
    case FileRead::Ok:
      info = decodeTokenInfo(bytes);
      found = info ? FileState::Ours : FileState::Foreign;
      break;
    case FileRead::Deleted:
      found = FileState::Foreign;
      break;
    case FileRead::Unreadable:
      break;
  }
  if (state != nullptr) *state = found;
  return info;
}

void writeTokenInfo(Card& card, const TokenInfoRecord& info) {
  FileState state = FileState::Absent;
  readTokenInfo(card, &state);
  require(state != FileState::Foreign, CKR_TOKEN_WRITE_PROTECTED);
  const Bytes bytes = encodeTokenInfo(info);
  if (state == FileState::Absent) createFile(card, kTokenInfoFileNo, bytes.size(), Access::Anybody, Access::SecurityOfficer);
  writeWhole(card, kTokenInfoFileNo, 0, bytes);
}

IndexFile readIndexHeader(Card& card) {
  IndexFile index;
  Bytes header(indexHeaderSize());
  switch (card.readFile(kIndexFileNo, 0, header.data(), header.size())) {
    case FileRead::Unreadable:
      return index;
    case FileRead::Deleted:
      index.state = FileState::Foreign;
      return index;
    case FileRead::Ok:
      break;
  }
  const auto decoded = decodeIndexHeader(header);
  index.state = decoded ? FileState::Ours : FileState::Foreign;
  if (decoded) index.header = *decoded;
  return index;
}

IndexFile readIndexRecords(Card& card, const IndexFile& header) {
  if (header.state != FileState::Ours) return header;
  const std::size_t count = header.header.recordsInUse >= 0 ? static_cast<std::size_t>(header.header.recordsInUse)
                                                           : kIndexRecords;
  // The records are read after the header as if the file held only those.
  Bytes whole = encodeIndexHeader(header.header);
  whole.resize(indexHeaderSize() + count * indexRecordSize(), 0);
  if (count > 0) {
    switch (card.readFile(kIndexFileNo, indexHeaderSize(), whole.data() + indexHeaderSize(),
                          whole.size() - indexHeaderSize())) {
      case FileRead::Ok:
        break;
      case FileRead::Deleted:
        return IndexFile{FileState::Foreign, {}, {}, {}};
      case FileRead::Unreadable:
        // Shorter than the module's index: a file of our magic that short
        // is not ours.
        return IndexFile{FileState::Foreign, {}, {}, {}};
    }
  }
  if (auto index = decodeIndex(whole)) return *index;
  return IndexFile{FileState::Foreign, {}, {}, {}};
}

std::optional<std::uint32_t> moveChangeCounter(Card& card) {
  const IdentityRead found = readIdentityFile(card);
  if (found.state != FileState::Ours) return std::nullopt;  // no identity: the index generation alone tells
  const auto counter = common::encodeChangeCounter(found.changes + 1);
  writeWhole(card, common::kIdentityFileNo, common::kChangeCounterOffset, Bytes(counter.begin(), counter.end()));
  return found.changes + 1;
}

IndexFile readIndex(Card& card) { return readIndexRecords(card, readIndexHeader(card)); }

namespace {

// How many records from the first may be in use once `slot` is written: never
// fewer than the header said, nor than the records this process holds (read
// whole when the header did not say, as an earlier writer's does not).
int recordsInUseAfter(const IndexFile& index, std::optional<std::size_t> slot) {
  int inUse = std::max(index.header.recordsInUse, 0);
  for (std::size_t i = 0; i < index.records.size(); ++i) {
    if (index.records[i].kind != RecordKind::Free) inUse = std::max(inUse, static_cast<int>(i) + 1);
  }
  if (slot) inUse = std::max(inUse, static_cast<int>(*slot) + 1);
  return inUse;
}

void writeHeader(Card& card, IndexFile& index, std::optional<std::size_t> slot) {
  require(index.state == FileState::Ours, CKR_GENERAL_ERROR);
  const auto counter = moveChangeCounter(card);
  IndexHeader next = index.header;
  ++next.generation;
  next.recordsInUse = recordsInUseAfter(index, slot);
  writeWhole(card, kIndexFileNo, 0, encodeIndexHeader(next));
  index.header = next;
  index.counterAfterWrite = counter;
}

}  // namespace

void bumpGeneration(Card& card, IndexFile& index) { writeHeader(card, index, std::nullopt); }

void writeIndexRecord(Card& card, IndexFile& index, std::size_t slot, const IndexRecord& record) {
  require(index.state != FileState::Foreign, CKR_TOKEN_WRITE_PROTECTED);
  if (index.state == FileState::Absent) {
    IndexFile made;
    made.state = FileState::Ours;
    made.header = IndexHeader{1, randomInstance(), 0};
    made.records.assign(kIndexRecords, IndexRecord{});
    Bytes whole = encodeIndexHeader(made.header);
    whole.resize(indexFileSize(), 0);
    createFile(card, kIndexFileNo, whole.size(), Access::Anybody, Access::User);
    writeWhole(card, kIndexFileNo, 0, whole);
    index = made;
  }
  // The generation moves first: a writer killed between the two writes
  // leaves a change that others notice, never one they miss.
  writeHeader(card, index, slot);
  writeWhole(card, kIndexFileNo, indexHeaderSize() + slot * indexRecordSize(), encodeIndexRecord(record));
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

TokenIdentity randomIdentity() {
  TokenIdentity identity = 0;
  while (identity == 0) {
    unsigned char bytes[8];
    require(RAND_bytes(bytes, sizeof bytes) == 1, CKR_FUNCTION_FAILED);
    for (unsigned char byte : bytes) identity = identity << 8 | byte;
  }
  return identity;
}

IdentityRead readIdentityFile(Card& card) {
  IdentityRead found;
  unsigned char bytes[common::kIdentityFileSize];
  switch (card.readFile(common::kIdentityFileNo, 0, bytes, sizeof bytes)) {
    case FileRead::Unreadable:
      return found;
    case FileRead::Deleted:
      found.state = FileState::Foreign;
      return found;
    case FileRead::Ok:
      break;
  }
  const auto identity = common::decodeIdentity(bytes);
  found.state = identity ? FileState::Ours : FileState::Foreign;
  found.identity = identity.value_or(0);
  if (identity) found.changes = common::decodeChangeCounter(bytes);
  found.blank = common::blankIdentity(bytes);
  return found;
}

IdentityRead makeIdentityFile(Card& card, const IdentityRead& found, TokenIdentity identity) {
  if (found.state == FileState::Ours || (found.state == FileState::Foreign && !found.blank)) return found;
  if (found.state == FileState::Absent) {
    // A creation refused (another program made it first, or a full card)
    // leaves what the token holds to the read below.
    card.createFile(common::kIdentityFileNo, common::kIdentityFileSize, Access::Anybody, Access::Anybody);
    const IdentityRead now = readIdentityFile(card);
    if (now.state != FileState::Foreign || !now.blank) return now;
  }
  const auto bytes = common::encodeIdentity(identity);
  if (card.writeFile(common::kIdentityFileNo, 0, bytes.data(), bytes.size()) != FileWrite::Ok) return IdentityRead{};
  return readIdentityFile(card);
}

PayloadRead readPayload(Card& card, int fileNo, std::size_t knownSize) {
  PayloadRead result;
  Bytes whole;
  if (knownSize >= payloadHeaderSize() && knownSize <= kMaxPayloadSize) {
    whole.resize(knownSize);
    if (card.readFile(fileNo, 0, whole.data(), whole.size()) != FileRead::Ok) return result;
    result.readable = true;
    // The record and the file must agree on the size.
    if (payloadSize(whole) == knownSize) result.payload = decodePayload(whole);
    return result;
  }
  Bytes header(payloadHeaderSize());
  if (card.readFile(fileNo, 0, header.data(), header.size()) != FileRead::Ok) return result;
  result.readable = true;
  const auto size = payloadSize(header);
  if (!size) return result;
  whole.resize(*size);
  // A size beyond the file's end is refused by the card: not ours either.
  if (card.readFile(fileNo, 0, whole.data(), whole.size()) == FileRead::Ok) result.payload = decodePayload(whole);
  return result;
}

int storePayload(Card& card, const Bytes& encoded, bool isPrivate, const IndexFile& index) {
  require(encoded.size() <= kMaxPayloadSize, CKR_DEVICE_MEMORY);
  int fullCardProbes = 0;
  for (int fileNo = kFirstPayloadFileNo; fileNo >= kLastPayloadFileNo; --fileNo) {
    bool listed = false;
    for (const auto& record : index.records) {
      listed = listed || (record.kind != RecordKind::KeyPair && record.kind != RecordKind::Free &&
                          record.ref == fileNo);
    }
    if (listed) continue;
    const FileCreate made =
        card.createFile(fileNo, encoded.size(), isPrivate ? Access::User : Access::Anybody, Access::User);
    if (made == FileCreate::Taken) {
      // Taken by a deleted or foreign file: try the next number. A number
      // that reads as absent was refused for lack of space.
      if (refusedCreation(card, fileNo) == CKR_DEVICE_MEMORY && ++fullCardProbes >= kFullCardProbes) {
        fail(CKR_DEVICE_MEMORY);
      }
      continue;
    }
    require(made == FileCreate::Ok, CKR_USER_NOT_LOGGED_IN);
    writeWhole(card, fileNo, 0, encoded);
    return fileNo;
  }
  fail(CKR_DEVICE_MEMORY);
}

void deletePayload(Card& card, int fileNo) { require(card.deleteFile(fileNo), CKR_DEVICE_ERROR); }

}  // namespace p11
