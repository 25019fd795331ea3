#include "view_cache.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "common/big_endian.h"
#include "platform/environment.h"
#include "platform/user_cache.h"

namespace p11 {
namespace {

constexpr char kMagic[] = "P7VC";
constexpr unsigned char kVersion = 2;
constexpr std::size_t kHeaderSize = 16;  // magic, version, 3 zeros, body length, CRC-32 of the body
constexpr std::size_t kModulusSize = 128;
constexpr int kMaxFileId = 0xFFFF;

class Writer {
 public:
  void u8(unsigned v) { out_.push_back(static_cast<unsigned char>(v)); }
  void u16(std::size_t v) {
    unsigned char b[2];
    common::putBigEndian16(b, static_cast<std::uint16_t>(v));
    out_.insert(out_.end(), b, b + 2);
  }
  void u32(std::size_t v) {
    unsigned char b[4];
    common::putBigEndian32(b, static_cast<std::uint32_t>(v));
    out_.insert(out_.end(), b, b + 4);
  }
  void bytes(const Bytes& v) { out_.insert(out_.end(), v.begin(), v.end()); }
  Bytes& out() { return out_; }

 private:
  Bytes out_;
};

// Reads what a Writer wrote; any read past the end marks it failed, and
// every value read then is zero.
class Reader {
 public:
  Reader(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
  bool ok() const { return ok_; }
  bool atEnd() const { return at_ == size_; }
  unsigned u8() { return take(1) ? data_[at_ - 1] : 0; }
  std::size_t u16() { return take(2) ? common::getBigEndian16(data_ + at_ - 2) : 0; }
  std::size_t u32() { return take(4) ? common::getBigEndian32(data_ + at_ - 4) : 0; }
  const unsigned char* span(std::size_t n) { return take(n) ? data_ + at_ - n : nullptr; }

 private:
  bool take(std::size_t n) {
    if (!ok_ || size_ - at_ < n) return ok_ = false;
    at_ += n;
    return true;
  }
  const unsigned char* data_;
  std::size_t size_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

bool usableModulus(const Bytes& modulus) {
  return modulus.size() == kModulusSize && modulus[0] >= 0x80 && (modulus.back() & 1) != 0;
}

// The records of private objects say only what anybody may read in the
// index; their payloads stay out.
bool publicPayload(const CardView& view, int fileNo) {
  for (const auto& record : view.index.records) {
    if ((record.kind == RecordKind::Certificate || record.kind == RecordKind::Data) && record.ref == fileNo) {
      return !record.isPrivate;
    }
  }
  return false;
}

// One file per token: named by its identity where it has one, else by its
// index's instance.
std::optional<std::string> cachePath(std::uint32_t instance, TokenIdentity identity = 0) {
  const auto folder = platform::userCacheFolder("pelu7-pkcs11");
  if (!folder) return std::nullopt;
  char name[40];
  if (identity != 0) {
    std::snprintf(name, sizeof name, "/view-%016llx", static_cast<unsigned long long>(identity));
  } else {
    std::snprintf(name, sizeof name, "/view-%08x", static_cast<unsigned>(instance));
  }
  return *folder + name;
}

std::uint32_t bodyCrc(const Bytes& file) { return crc32(file.data() + kHeaderSize, file.size() - kHeaderSize); }

}  // namespace

bool keptViewFits(const CardView& kept, const IndexHeader& card) {
  return kept.index.state == FileState::Ours && kept.index.header.instance == card.instance &&
         kept.index.header.generation == card.generation && kept.index.header == card;
}

bool viewCacheEnabled() {
  const auto value = platform::environmentVariable(kViewCacheVariable);
  return !value || (*value != "0" && *value != "off" && *value != "no");
}

Bytes encodeCachedView(const CardView& view) {
  if (view.index.state != FileState::Ours || view.index.records.size() != kIndexRecords) return {};
  Writer w;
  w.bytes(Bytes(kHeaderSize, 0));
  w.bytes(encodeIndexHeader(view.index.header));
  w.u32(static_cast<std::size_t>(view.nextKeyId));
  std::size_t used = 0;
  for (const auto& record : view.index.records) used += record.kind != RecordKind::Free;
  w.u8(static_cast<unsigned>(used));
  for (std::size_t slot = 0; slot < view.index.records.size(); ++slot) {
    if (view.index.records[slot].kind == RecordKind::Free) continue;
    w.u8(static_cast<unsigned>(slot));
    w.bytes(encodeIndexRecord(view.index.records[slot]));
  }
  w.u16(view.moduli.size());
  for (const auto& [id, modulus] : view.moduli) {
    w.u16(static_cast<std::size_t>(id));
    w.u16(modulus.size());
    w.bytes(modulus);
  }
  std::size_t payloads = 0;
  for (const auto& entry : view.payloads) payloads += publicPayload(view, entry.first);
  w.u16(payloads);
  for (const auto& [fileNo, payload] : view.payloads) {
    if (!publicPayload(view, fileNo)) continue;
    const Bytes encoded = encodePayload(payload);
    w.u16(static_cast<std::size_t>(fileNo));
    w.u32(encoded.size());
    w.bytes(encoded);
  }
  std::size_t unusable = 0;
  for (int fileNo : view.unusablePayloads) unusable += publicPayload(view, fileNo);
  w.u16(unusable);
  for (int fileNo : view.unusablePayloads) {
    if (publicPayload(view, fileNo)) w.u16(static_cast<std::size_t>(fileNo));
  }
  w.u8(view.tokenInfo ? 1 : 0);
  if (view.tokenInfo) w.bytes(encodeTokenInfo(*view.tokenInfo));
  // The token and the state of its change counter the view was read at.
  w.u32(static_cast<std::size_t>(view.identity >> 32));
  w.u32(static_cast<std::size_t>(view.identity & 0xFFFFFFFFu));
  w.u8(view.fileChanges ? 1 : 0);
  w.u32(view.fileChanges.value_or(0));
  Bytes& file = w.out();
  std::memcpy(file.data(), kMagic, 4);
  file[4] = kVersion;
  common::putBigEndian32(&file[8], static_cast<std::uint32_t>(file.size() - kHeaderSize));
  common::putBigEndian32(&file[12], bodyCrc(file));
  return file;
}

std::optional<CardView> decodeCachedView(const Bytes& file) {
  if (file.size() < kHeaderSize || file.size() > kMaxViewCacheSize || std::memcmp(file.data(), kMagic, 4) != 0 ||
      file[4] != kVersion || file[5] != 0 || file[6] != 0 || file[7] != 0 ||
      common::getBigEndian32(&file[8]) != file.size() - kHeaderSize || common::getBigEndian32(&file[12]) != bodyCrc(file)) {
    return std::nullopt;
  }
  Reader r(file.data() + kHeaderSize, file.size() - kHeaderSize);
  CardView view;
  view.known = true;
  view.index.state = FileState::Ours;
  const unsigned char* header = r.span(indexHeaderSize());
  if (header == nullptr) return std::nullopt;
  const auto indexHeader = decodeIndexHeader(Bytes(header, header + indexHeaderSize()));
  if (!indexHeader) return std::nullopt;
  view.index.header = *indexHeader;
  const std::size_t nextKeyId = r.u32();
  if (nextKeyId < 1 || nextKeyId > kMaxFileId || nextKeyId % 2 == 0) return std::nullopt;
  view.nextKeyId = static_cast<int>(nextKeyId);
  view.index.records.assign(kIndexRecords, IndexRecord{});
  const std::size_t used = r.u8();
  if (used > kIndexRecords) return std::nullopt;
  for (std::size_t i = 0; i < used && r.ok(); ++i) {
    const std::size_t slot = r.u8();
    const unsigned char* bytes = r.span(indexRecordSize());
    if (bytes == nullptr || slot >= kIndexRecords || view.index.records[slot].kind != RecordKind::Free) {
      return std::nullopt;
    }
    const auto record = decodeIndexRecord(bytes);
    if (!record) return std::nullopt;
    view.index.records[slot] = *record;
  }
  const std::size_t keys = r.u16();
  for (std::size_t i = 0; i < keys && r.ok(); ++i) {
    const int id = static_cast<int>(r.u16());
    const std::size_t length = r.u16();
    const unsigned char* bytes = r.span(length);
    if (bytes == nullptr || id % 2 == 0 || id >= view.nextKeyId || view.moduli.count(id) != 0) return std::nullopt;
    Bytes modulus(bytes, bytes + length);
    if (!modulus.empty() && !usableModulus(modulus)) return std::nullopt;
    view.moduli[id] = std::move(modulus);
  }
  const std::size_t payloads = r.u16();
  for (std::size_t i = 0; i < payloads && r.ok(); ++i) {
    const int fileNo = static_cast<int>(r.u16());
    const std::size_t length = r.u32();
    if (length > kMaxPayloadSize) return std::nullopt;
    const unsigned char* bytes = r.span(length);
    if (bytes == nullptr || !publicPayload(view, fileNo) || view.payloads.count(fileNo) != 0) return std::nullopt;
    auto payload = decodePayload(Bytes(bytes, bytes + length));
    if (!payload) return std::nullopt;
    view.payloads[fileNo] = std::move(*payload);
  }
  const std::size_t unusable = r.u16();
  for (std::size_t i = 0; i < unusable && r.ok(); ++i) {
    const int fileNo = static_cast<int>(r.u16());
    if (!publicPayload(view, fileNo) || view.payloads.count(fileNo) != 0) return std::nullopt;
    view.unusablePayloads.insert(fileNo);
  }
  const unsigned hasTokenInfo = r.u8();
  if (hasTokenInfo > 1) return std::nullopt;
  if (hasTokenInfo == 1) {
    const unsigned char* bytes = r.span(tokenInfoSize());
    if (bytes == nullptr) return std::nullopt;
    view.tokenInfo = decodeTokenInfo(Bytes(bytes, bytes + tokenInfoSize()));
    if (!view.tokenInfo || !view.tokenInfo->userPinSet) return std::nullopt;
  }
  const std::uint64_t high = r.u32();
  view.identity = high << 32 | r.u32();
  const unsigned hasFileChanges = r.u8();
  const auto fileChanges = static_cast<std::uint32_t>(r.u32());
  if (hasFileChanges > 1 || (hasFileChanges == 0 && fileChanges != 0)) return std::nullopt;
  if (hasFileChanges == 1) view.fileChanges = fileChanges;
  if (!r.ok() || !r.atEnd()) return std::nullopt;
  // Every key pair below the next id was probed: each has its entry.
  for (int id = 1; id < view.nextKeyId; id += 2) {
    if (view.moduli.count(id) == 0) return std::nullopt;
  }
  view.cachedFile = file;
  return view;
}

std::optional<CardView> loadCachedView(const IndexHeader& header) {
  if (!viewCacheEnabled()) return std::nullopt;
  const auto path = cachePath(header.instance);
  if (!path) return std::nullopt;
  const auto bytes = platform::readPrivateFile(*path, kMaxViewCacheSize);
  if (!bytes) return std::nullopt;
  auto view = decodeCachedView(*bytes);
  if (!view || !keptViewFits(*view, header)) return std::nullopt;
  return view;
}

std::optional<CardView> loadCachedViewOf(TokenIdentity identity, std::uint32_t fileChanges) {
  if (!viewCacheEnabled() || identity == 0) return std::nullopt;
  const auto path = cachePath(0, identity);
  if (!path) return std::nullopt;
  const auto bytes = platform::readPrivateFile(*path, kMaxViewCacheSize);
  if (!bytes) return std::nullopt;
  auto view = decodeCachedView(*bytes);
  if (!view || view->identity != identity || view->fileChanges != fileChanges) return std::nullopt;
  return view;
}

void storeCachedView(CardView& view) {
  if (!viewCacheEnabled()) return;
  const Bytes file = encodeCachedView(view);
  if (file.empty() || file == view.cachedFile) return;
  const auto path = cachePath(view.index.header.instance, view.identity);
  if (path && platform::replacePrivateFile(*path, file)) view.cachedFile = file;
}

}  // namespace p11
