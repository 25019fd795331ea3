#include "driver/trace_redaction.h"

namespace tkrdr {
namespace {

constexpr std::size_t kDataOffset = 5;  // CLA INS P1 P2 Lc
constexpr std::uint8_t kInsVerify = 0x20;
constexpr std::uint8_t kInsChangePin = 0x24;
constexpr std::uint8_t kInsUnblockPin = 0x2C;
constexpr std::uint8_t kInsWriteKey = 0xD4;
constexpr std::uint8_t kInsSsf33 = 0x78;
constexpr std::uint8_t kSsf33KeyLoad = 0x05;
constexpr std::uint8_t kInsUpdateBinary = 0xD6;
constexpr std::uint8_t kInsSelect = 0xA4;
constexpr std::uint8_t kInsCreateFile = 0xE0;
constexpr std::uint8_t kClaProprietary = 0x80;
constexpr std::uint8_t kFileTypeRsaPrivateKey = 0x3D;
constexpr int kSuccess = 0x9000;

std::uint16_t fileId(std::uint8_t high, std::uint8_t low) {
  return static_cast<std::uint16_t>((high << 8) | low);
}

// SELECT by file identifier: 00 A4 00 00 02 id-high id-low.
bool isSelectById(std::span<const std::uint8_t> c) {
  return c.size() == 7 && c[0] == 0x00 && c[1] == kInsSelect && c[2] == 0x00 && c[3] == 0x00 &&
         c[4] == 0x02;
}

}  // namespace

std::size_t SecretTracker::secretOffset(std::span<const std::uint8_t> command) const {
  if (command.size() <= kDataOffset) return command.size();
  const std::uint8_t ins = command[1];
  const bool secret =
      ins == kInsVerify || ins == kInsChangePin || ins == kInsUnblockPin || ins == kInsWriteKey ||
      (ins == kInsSsf33 && command[2] == kSsf33KeyLoad) ||
      (ins == kInsUpdateBinary && mayWritePrivateKey());
  return secret ? kDataOffset : command.size();
}

bool SecretTracker::mayWritePrivateKey() const {
  if (selectionUnknown_) return !privateKeyFiles_.empty();
  return selected_ && privateKeyFiles_.contains(*selected_);
}

void SecretTracker::observe(std::span<const std::uint8_t> command, int status) {
  if (command.size() < 4) return;
  if (isSelectById(command)) {
    if (status == kSuccess) {
      selected_ = fileId(command[5], command[6]);
      selectionUnknown_ = false;
    }
    return;
  }
  if (command[1] == kInsSelect) {
    // Another form of SELECT (by path, by name, parent...): what it selected
    // is not followed, so it may be a private key file.
    if (status == kSuccess) selectionUnknown_ = true;
    return;
  }
  if (command[0] == kClaProprietary && command[1] == kInsCreateFile && command.size() > kDataOffset &&
      command[kDataOffset] == kFileTypeRsaPrivateKey) {
    const std::uint16_t id = fileId(command[2], command[3]);
    privateKeyFiles_.insert(id);
    if (status == kSuccess) {
      selected_ = id;
      selectionUnknown_ = false;
    }
  }
}

}  // namespace tkrdr
