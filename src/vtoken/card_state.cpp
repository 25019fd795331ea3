#include "card_state.h"

namespace vtoken {

unsigned KeyObject::countFailure() {
  const unsigned left = triesLeft() == 0 ? 0 : triesLeft() - 1;
  attributes[3] = static_cast<std::uint8_t>((attributes[3] & 0xF0) | left);
  return left;
}

void KeyObject::resetCounter() {
  attributes[3] = static_cast<std::uint8_t>((attributes[3] & 0xF0) | maxTries());
}

std::size_t ElementaryFile::keySpaceUsed() const {
  std::size_t used = 0;
  for (const auto& [id, key] : keys) {
    used += key.footprint();
  }
  return used;
}

void CardState::resetVolatile() {
  securityState = 0;
  externalAuthGranted = false;
  currentFile = kMfId;
  lastChallenge.clear();
  ssf33Key.clear();
}

std::size_t CardState::usedCapacity() const {
  std::size_t used = 0;
  for (const auto& [id, file] : files) {
    used += file.size + kFileOverhead;
  }
  return used;
}

std::optional<std::uint16_t> CardState::keyFileId() const {
  for (const auto& [id, file] : files) {
    if (file.type == kFileTypeKeyFile) {
      return id;
    }
  }
  return std::nullopt;
}

KeyObject* CardState::findKey(std::uint8_t keyId) {
  const auto keyFile = keyFileId();
  if (!keyFile) {
    return nullptr;
  }
  auto& keys = files.at(*keyFile).keys;
  const auto it = keys.find(keyId);
  return it == keys.end() ? nullptr : &it->second;
}

CardState factoryFreshState(bool ssf33Supported) {
  CardState state;
  state.ssf33Supported = ssf33Supported;
  ElementaryFile keyFile;
  keyFile.type = kFileTypeKeyFile;
  keyFile.size = 0x0067;
  keyFile.access = {0x01, 0xFA, 0xFF, 0xFF};
  KeyObject transport;
  transport.type = kKeyTypeExternalAuth;
  transport.attributes = {0xF0, 0xAA, 0x0A, 0x66};
  transport.value.assign(kTransportKey.begin(), kTransportKey.end());
  keyFile.keys.emplace(0x00, std::move(transport));
  state.files.emplace(0x0000, std::move(keyFile));
  return state;
}

bool accessAllows(std::uint8_t accessByte, std::uint8_t securityState) {
  if (accessByte == 0xF0) {
    return true;
  }
  if (accessByte == 0xFF) {
    return false;
  }
  const std::uint8_t high = accessByte >> 4;
  const std::uint8_t low = accessByte & 0x0F;
  return high == low && securityState == high;
}

}  // namespace vtoken
