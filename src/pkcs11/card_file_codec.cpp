// Byte layouts of the module's files (see card_files.h). Integers are big
// endian; every file starts with a 4-byte magic and a version byte.
#include <algorithm>
#include <cstring>

#include "card_files.h"
#include "common/big_endian.h"

namespace p11 {
namespace {

constexpr unsigned char kVersion = 1;
constexpr char kTokenInfoMagic[] = "P11T";
constexpr char kPayloadMagic[] = "P11D";
constexpr std::size_t kSerialField = 16;
constexpr std::size_t kTokenInfoSize = 8 + kSerialField + kMaxLabelLength;
constexpr unsigned char kUserPinSetFlag = 0x01;
constexpr std::size_t kRecordSize = 64;
constexpr std::size_t kRecordCrcOffset = 60;
constexpr unsigned char kPrivateFlag = 0x01;
constexpr unsigned char kLocalFlag = 0x02;
constexpr std::size_t kPayloadHeader = 16;
constexpr char kIndexMagic[] = "P11I";
constexpr std::size_t kIndexHeader = 16;
constexpr std::size_t kGenerationOffset = 8;
constexpr std::size_t kInstanceOffset = 12;
constexpr std::size_t kRecordPayloadSizeOffset = 58;
constexpr std::size_t kRecordsInUseOffset = 5;
constexpr unsigned char kRecordsInUseKnown = 0x80;

void putText(Bytes& out, std::size_t offset, const std::string& text, std::size_t field) {
  std::memcpy(out.data() + offset, text.data(), std::min(text.size(), field));
}

std::string getText(const Bytes& in, std::size_t offset, std::size_t field) {
  std::string text(reinterpret_cast<const char*>(in.data() + offset), field);
  text.erase(std::find(text.begin(), text.end(), '\0'), text.end());
  return text;
}

}  // namespace

std::uint32_t crc32(const unsigned char* data, std::size_t length) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

Bytes encodeTokenInfo(const TokenInfoRecord& info) {
  Bytes out(kTokenInfoSize, 0);
  std::memcpy(out.data(), kTokenInfoMagic, 4);
  out[4] = kVersion;
  out[5] = info.userPinSet ? kUserPinSetFlag : 0;
  putText(out, 8, info.serial, kSerialField);
  putText(out, 8 + kSerialField, info.label, kMaxLabelLength);
  return out;
}

std::optional<TokenInfoRecord> decodeTokenInfo(const Bytes& in) {
  if (in.size() < kTokenInfoSize || std::memcmp(in.data(), kTokenInfoMagic, 4) != 0 || in[4] != kVersion) {
    return std::nullopt;
  }
  TokenInfoRecord info;
  info.userPinSet = (in[5] & kUserPinSetFlag) != 0;
  info.serial = getText(in, 8, kSerialField);
  info.label = getText(in, 8 + kSerialField, kMaxLabelLength);
  return info;
}

Bytes encodeIndexRecord(const IndexRecord& record) {
  Bytes out(kRecordSize, 0);
  out[0] = static_cast<unsigned char>(record.kind);
  out[1] = static_cast<unsigned char>((record.isPrivate ? kPrivateFlag : 0) | (record.local ? kLocalFlag : 0));
  common::putBigEndian16(&out[2], static_cast<std::uint16_t>(record.ref));
  const std::size_t idLength = std::min(record.id.size(), kMaxIdLength);
  out[4] = static_cast<unsigned char>(idLength);
  std::copy_n(record.id.begin(), idLength, out.begin() + 5);
  const std::size_t labelLength = std::min(record.label.size(), kMaxLabelLength);
  out[25] = static_cast<unsigned char>(labelLength);
  std::copy_n(record.label.begin(), labelLength, out.begin() + 26);
  common::putBigEndian16(&out[kRecordPayloadSizeOffset],
                         static_cast<std::uint16_t>(std::min(record.payloadSize, kMaxPayloadSize)));
  if (record.kind != RecordKind::Free) common::putBigEndian32(&out[kRecordCrcOffset], crc32(out.data(), kRecordCrcOffset));
  return out;
}

std::optional<IndexRecord> decodeIndexRecord(const unsigned char* in) {
  if (in[0] == 0 || in[0] > static_cast<unsigned char>(RecordKind::Data)) return std::nullopt;
  if (common::getBigEndian32(in + kRecordCrcOffset) != crc32(in, kRecordCrcOffset)) return std::nullopt;
  if (in[4] > kMaxIdLength || in[25] > kMaxLabelLength) return std::nullopt;
  IndexRecord record;
  record.kind = static_cast<RecordKind>(in[0]);
  record.isPrivate = (in[1] & kPrivateFlag) != 0;
  record.local = (in[1] & kLocalFlag) != 0;
  record.ref = static_cast<int>(common::getBigEndian16(in + 2));
  record.id.assign(in + 5, in + 5 + in[4]);
  record.label.assign(in + 26, in + 26 + in[25]);
  record.payloadSize = common::getBigEndian16(in + kRecordPayloadSizeOffset);
  return record;
}

Bytes encodePayload(const Payload& payload) {
  // One allocation of the whole file, then each part copied into its place.
  Bytes out(kPayloadHeader + payload.value.size() + payload.application.size() + payload.objectId.size(), 0);
  std::memcpy(out.data(), kPayloadMagic, 4);
  out[4] = kVersion;
  common::putBigEndian32(&out[8], static_cast<std::uint32_t>(payload.value.size()));
  common::putBigEndian16(&out[12], static_cast<std::uint16_t>(payload.application.size()));
  common::putBigEndian16(&out[14], static_cast<std::uint16_t>(payload.objectId.size()));
  auto at = out.begin() + kPayloadHeader;
  at = std::copy(payload.value.begin(), payload.value.end(), at);
  at = std::copy(payload.application.begin(), payload.application.end(), at);
  std::copy(payload.objectId.begin(), payload.objectId.end(), at);
  return out;
}

std::optional<Payload> decodePayload(const Bytes& in) {
  if (in.size() < kPayloadHeader || std::memcmp(in.data(), kPayloadMagic, 4) != 0 || in[4] != kVersion) {
    return std::nullopt;
  }
  const std::size_t valueLength = common::getBigEndian32(&in[8]);
  const std::size_t appLength = common::getBigEndian16(&in[12]);
  const std::size_t oidLength = common::getBigEndian16(&in[14]);
  if (in.size() - kPayloadHeader < valueLength + appLength + oidLength) return std::nullopt;
  Payload payload;
  auto at = in.begin() + kPayloadHeader;
  payload.value.assign(at, at + static_cast<long>(valueLength));
  at += static_cast<long>(valueLength);
  payload.application.assign(at, at + static_cast<long>(appLength));
  at += static_cast<long>(appLength);
  payload.objectId.assign(at, at + static_cast<long>(oidLength));
  return payload;
}

std::optional<std::size_t> payloadSize(const Bytes& in) {
  if (in.size() < kPayloadHeader || std::memcmp(in.data(), kPayloadMagic, 4) != 0 || in[4] != kVersion) {
    return std::nullopt;
  }
  // The header is anybody's to write: a declared size no token can hold is
  // not the module's file, and is never allocated.
  const std::size_t valueLength = common::getBigEndian32(&in[8]);
  if (valueLength > kMaxPayloadSize) return std::nullopt;
  const std::size_t size = kPayloadHeader + valueLength + common::getBigEndian16(&in[12]) + common::getBigEndian16(&in[14]);
  if (size > kMaxPayloadSize) return std::nullopt;
  return size;
}

Bytes encodeIndexHeader(const IndexHeader& header) {
  Bytes out(kIndexHeader, 0);
  std::memcpy(out.data(), kIndexMagic, 4);
  out[4] = kVersion;
  common::putBigEndian32(&out[kGenerationOffset], header.generation);
  common::putBigEndian32(&out[kInstanceOffset], header.instance);
  if (header.recordsInUse >= 0 && header.recordsInUse <= static_cast<int>(kIndexRecords)) {
    out[kRecordsInUseOffset] = static_cast<unsigned char>(kRecordsInUseKnown | header.recordsInUse);
  }
  return out;
}

std::optional<IndexHeader> decodeIndexHeader(const Bytes& in) {
  // Indexes of earlier writers carry version 1 with zeros where the
  // generation and the instance are now.
  if (in.size() < kIndexHeader || std::memcmp(in.data(), kIndexMagic, 4) != 0 || in[4] != kVersion) {
    return std::nullopt;
  }
  IndexHeader header{common::getBigEndian32(&in[kGenerationOffset]), common::getBigEndian32(&in[kInstanceOffset])};
  const unsigned char inUse = in[kRecordsInUseOffset];
  if ((inUse & kRecordsInUseKnown) != 0 && (inUse & ~kRecordsInUseKnown) <= kIndexRecords) {
    header.recordsInUse = inUse & ~kRecordsInUseKnown;
  }
  return header;
}

std::optional<IndexFile> decodeIndex(const Bytes& in) {
  const auto header = decodeIndexHeader(in);
  if (!header) return std::nullopt;
  // The records the header says are in use, or all of them.
  const std::size_t records = header->recordsInUse >= 0 ? static_cast<std::size_t>(header->recordsInUse) : kIndexRecords;
  if (in.size() < kIndexHeader + records * kRecordSize) return std::nullopt;
  IndexFile index;
  index.state = FileState::Ours;
  index.header = *header;
  index.records.resize(kIndexRecords);
  for (std::size_t i = 0; i < records; ++i) {
    // A torn or damaged record reads as free: its CRC does not match.
    if (auto record = decodeIndexRecord(&in[kIndexHeader + i * kRecordSize])) index.records[i] = *record;
  }
  return index;
}

std::size_t tokenInfoSize() { return kTokenInfoSize; }
std::size_t indexHeaderSize() { return kIndexHeader; }
std::size_t indexFileSize() { return kIndexHeader + kIndexRecords * kRecordSize; }

std::size_t payloadHeaderSize() { return kPayloadHeader; }
std::size_t indexRecordSize() { return kRecordSize; }

}  // namespace p11
