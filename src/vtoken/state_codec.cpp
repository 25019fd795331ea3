#include "state_codec.h"

#include <algorithm>
#include <array>

#include "common/big_endian.h"

namespace vtoken {

namespace {

class Writer {
 public:
  explicit Writer(SecureBytes& out) : out_(out) {}
  void u8(std::uint8_t value) { bytes(std::array<std::uint8_t, 1>{value}); }
  void u16(std::uint16_t value) {
    std::array<std::uint8_t, 2> b{};
    common::putBigEndian16(b.data(), value);
    bytes(b);
  }
  template <typename Range>
  void bytes(const Range& range) {
    out_.insert(out_.end(), range.begin(), range.end());
  }
  template <typename Range>
  void shortBytes(const Range& range) {
    u8(static_cast<std::uint8_t>(range.size()));
    bytes(range);
  }

 private:
  SecureBytes& out_;
};

class Reader {
 public:
  Reader(std::span<const std::uint8_t> in, const char* part) : in_(in), part_(part) {}
  std::uint8_t u8() { return take(1)[0]; }
  std::uint16_t u16() { return common::getBigEndian16(take(2).data()); }
  std::span<const std::uint8_t> take(std::size_t count) {
    if (count > in_.size() - at_) {
      fail("ends early");
    }
    const auto out = in_.subspan(at_, count);
    at_ += count;
    return out;
  }
  bool flag() {
    const std::uint8_t value = u8();
    if (value > 1) {
      fail("has a bad flag byte");
    }
    return value == 1;
  }
  void expectEnd() const {
    if (at_ != in_.size()) {
      fail("has trailing bytes");
    }
  }
  [[noreturn]] void fail(const std::string& what) const {
    throw StateFormatError(std::string(part_) + " data " + what);
  }

 private:
  std::span<const std::uint8_t> in_;
  std::size_t at_ = 0;
  const char* part_;
};

std::size_t keyValueLength(std::uint8_t type) {
  switch (type) {
    case kKeyTypeExternalAuth:
      return 16;
    case kKeyTypePin:
    case kKeyTypeUnblock:
      return 8;
    default:
      return 0;
  }
}

KeyObject readKey(Reader& in) {
  KeyObject key;
  key.type = in.u8();
  const auto attributes = in.take(4);
  std::copy(attributes.begin(), attributes.end(), key.attributes.begin());
  const auto value = in.take(in.u8());
  key.value.assign(value.begin(), value.end());
  if (keyValueLength(key.type) == 0 || key.value.size() != keyValueLength(key.type)) {
    in.fail("has a key object of a bad type or length");
  }
  if (key.maxTries() == 0 || key.triesLeft() > key.maxTries()) {
    in.fail("has a key object with a bad error counter");
  }
  return key;
}

ElementaryFile readFile(Reader& in) {
  ElementaryFile file;
  file.type = in.u8();
  file.size = in.u16();
  const auto access = in.take(4);
  std::copy(access.begin(), access.end(), file.access.begin());
  if (file.size == 0) {
    in.fail("has a file of size 0");
  }
  if (file.type == kFileTypeKeyFile) {
    const std::uint16_t count = in.u16();
    for (unsigned i = 0; i < count; ++i) {
      const std::uint8_t id = in.u8();
      if (!file.keys.emplace(id, readKey(in)).second) {
        in.fail("has a key id twice");
      }
    }
    if (file.keySpaceUsed() > file.size) {
      in.fail("has more keys than the key file holds");
    }
  } else if (file.type == kFileTypeTransparent || file.type == kFileTypeRsaPublicKey ||
             file.type == kFileTypeRsaPrivateKey) {
    const auto content = in.take(file.size);
    file.content.assign(content.begin(), content.end());
  } else {
    in.fail("has a file of unknown type");
  }
  return file;
}

}  // namespace

EncodedState encodeState(const CardState& state) {
  EncodedState encoded;
  encoded.eeprom.reserve(64 + state.usedCapacity());
  encoded.ram.reserve(32);
  Writer eeprom(encoded.eeprom);
  eeprom.u8(state.ssf33Supported ? 1 : 0);
  eeprom.u16(static_cast<std::uint16_t>(state.files.size()));
  for (const auto& [id, file] : state.files) {
    eeprom.u16(id);
    eeprom.u8(file.type);
    eeprom.u16(file.size);
    eeprom.bytes(file.access);
    if (file.type == kFileTypeKeyFile) {
      eeprom.u16(static_cast<std::uint16_t>(file.keys.size()));
      for (const auto& [keyId, key] : file.keys) {
        eeprom.u8(keyId);
        eeprom.u8(key.type);
        eeprom.bytes(key.attributes);
        eeprom.shortBytes(key.value);
      }
    } else {
      eeprom.bytes(file.content);
    }
  }
  Writer ram(encoded.ram);
  ram.u8(state.securityState);
  ram.u8(state.externalAuthGranted ? 1 : 0);
  ram.u16(state.currentFile);
  ram.shortBytes(state.lastChallenge);
  ram.shortBytes(state.ssf33Key);
  return encoded;
}

SecureBytes encodeRamForFile(const CardState& state) {
  CardState withoutSecrets;
  withoutSecrets.securityState = state.securityState;
  withoutSecrets.externalAuthGranted = state.externalAuthGranted;
  withoutSecrets.currentFile = state.currentFile;
  return encodeState(withoutSecrets).ram;
}

CardState decodeState(std::span<const std::uint8_t> eepromBytes, std::span<const std::uint8_t> ramBytes) {
  CardState state;
  Reader eeprom(eepromBytes, "EEPROM");
  state.ssf33Supported = eeprom.flag();
  const std::uint16_t fileCount = eeprom.u16();
  for (unsigned i = 0; i < fileCount; ++i) {
    const std::uint16_t id = eeprom.u16();
    if (id == kMfId || !state.files.emplace(id, readFile(eeprom)).second) {
      eeprom.fail("has a bad or repeated file id");
    }
  }
  eeprom.expectEnd();
  if (state.usedCapacity() > kCapacity) {
    eeprom.fail("exceeds the card's capacity");
  }
  std::size_t keyFiles = 0;
  for (const auto& [id, file] : state.files) {
    keyFiles += file.type == kFileTypeKeyFile ? 1 : 0;
  }
  if (keyFiles > 1) {
    eeprom.fail("has more than one key file");
  }

  decodeRam(state, ramBytes);
  return state;
}

void decodeRam(CardState& state, std::span<const std::uint8_t> ramBytes) {
  Reader ram(ramBytes, "RAM");
  CardState decoded;
  decoded.securityState = ram.u8();
  decoded.externalAuthGranted = ram.flag();
  decoded.currentFile = ram.u16();
  const auto challenge = ram.take(ram.u8());
  decoded.lastChallenge.assign(challenge.begin(), challenge.end());
  const auto ssf33Key = ram.take(ram.u8());
  decoded.ssf33Key.assign(ssf33Key.begin(), ssf33Key.end());
  ram.expectEnd();
  if (decoded.securityState > 0x0F || (decoded.currentFile != kMfId && !state.files.contains(decoded.currentFile)) ||
      (!decoded.lastChallenge.empty() && decoded.lastChallenge.size() != 8) ||
      (!decoded.ssf33Key.empty() && decoded.ssf33Key.size() != 16)) {
    ram.fail("is inconsistent");
  }
  state.securityState = decoded.securityState;
  state.externalAuthGranted = decoded.externalAuthGranted;
  state.currentFile = decoded.currentFile;
  state.lastChallenge.swap(decoded.lastChallenge);
  state.ssf33Key.swap(decoded.ssf33Key);
}

}  // namespace vtoken
