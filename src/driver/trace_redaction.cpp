#include "trace_redaction.h"

#include <algorithm>

#include "card/vocabulary.h"

namespace tkrdr {
namespace {

constexpr std::size_t kDataOffset = 5;  // CLA INS P1 P2 Lc
using card::kClaProprietary;
using card::kFileTypeRsaPrivateKey;
using card::kInsChangePin;
using card::kInsCreateFile;
using card::kInsSelect;
using card::kInsSsf33;
using card::kInsUnblockPin;
using card::kInsUpdateBinary;
using card::kInsVerify;
using card::kInsWriteKey;
using card::kSsf33LoadKey;
using card::kSwOk;

std::uint16_t fileId(std::uint8_t high, std::uint8_t low) {
  return static_cast<std::uint16_t>((high << 8) | low);
}

// SELECT by file identifier: 00 A4 00 00 02 id-high id-low.
bool isSelectById(std::span<const std::uint8_t> c) {
  return c.size() == card::kSelectHeader.size() + card::kFileIdLength &&
         std::equal(card::kSelectHeader.begin(), card::kSelectHeader.end(), c.begin());
}

}  // namespace

std::size_t SecretTracker::secretOffset(std::span<const std::uint8_t> command) const {
  if (command.size() <= kDataOffset) return command.size();
  const std::uint8_t ins = command[1];
  const bool secret = ins == kInsVerify || ins == kInsChangePin || ins == kInsUnblockPin || ins == kInsWriteKey ||
                      (ins == kInsSsf33 && command[2] == kSsf33LoadKey) ||
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
    if (status == kSwOk) {
      selected_ = fileId(command[5], command[6]);
      selectionUnknown_ = false;
    }
    return;
  }
  if (command[1] == kInsSelect) {
    // Another form of SELECT (by path, by name, parent...): what it selected
    // is not followed, so it may be a private key file.
    if (status == kSwOk) selectionUnknown_ = true;
    return;
  }
  if (command[0] == kClaProprietary && command[1] == kInsCreateFile && command.size() > kDataOffset &&
      command[kDataOffset] == kFileTypeRsaPrivateKey) {
    const std::uint16_t id = fileId(command[2], command[3]);
    privateKeyFiles_.insert(id);
    if (status == kSwOk) {
      selected_ = id;
      selectionUnknown_ = false;
    }
  }
}

}  // namespace tkrdr
