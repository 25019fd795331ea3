// GET CHALLENGE, EXTERNAL AUTHENTICATE and WRITE KEY: the card maker's (or the
// issuer's) authentication and what it admits.
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <stdexcept>

#include "block_ciphers.h"
#include "command_handlers.h"
#include "status_words.h"

namespace vtoken {

namespace {

constexpr std::size_t kChallengeLength = 8;
constexpr std::size_t kExternalKeyLength = 16;
constexpr std::size_t kSecretValueLength = 8;
constexpr std::uint8_t kWriteKeyP1 = card::kWriteKeyInstall;

std::size_t valueLengthOf(std::uint8_t keyType) {
  switch (keyType) {
    case kKeyTypeExternalAuth:
      return kExternalKeyLength;
    case kKeyTypePin:
    case kKeyTypeUnblock:
      return kSecretValueLength;
    default:
      return 0;
  }
}

}  // namespace

// Only 8-byte challenges exist: any other Le answers 6700. The challenge is
// kept as the card's last challenge until EXTERNAL AUTHENTICATE consumes it.
Answer getChallenge(CardState& state, const Apdu& apdu) {
  if (apdu.p1p2() != 0x0000) {
    return statusOnly(kSwWrongP1P2);
  }
  if (apdu.hasData() || apdu.le != kChallengeLength) {
    return statusOnly(kSwWrongLength);
  }
  SecureBytes challenge(kChallengeLength);
  if (RAND_bytes(challenge.data(), static_cast<int>(challenge.size())) != 1) {
    throw std::runtime_error("random generator failed");
  }
  state.lastChallenge = challenge;
  return Answer{{challenge.begin(), challenge.end()}, kSwOk};
}

// Compares the cryptogram with the two-key triple-DES ECB encryption of the
// last challenge under external-authentication key P2. Every EXTERNAL
// AUTHENTICATE consumes the challenge, so a cryptogram can be tried only once.
// A wrong cryptogram counts the key's error counter down like a wrong PIN
// (63Cx, then 6983 once blocked) and leaves the security state and the right
// as they were; a right one resets the counter, grants the right to ERASE and
// WRITE KEY until the next reset, and sets the key's security state.
Answer externalAuthenticate(CardState& state, const Apdu& apdu) {
  SecureBytes challenge;
  challenge.swap(state.lastChallenge);
  if (apdu.p1 != 0x00) {
    return statusOnly(kSwWrongP1P2);
  }
  if (apdu.data.size() != kChallengeLength) {
    return statusOnly(kSwWrongLength);
  }
  if (challenge.size() != kChallengeLength) {
    return statusOnly(kSwConditionsNotSatisfied);
  }
  KeyObject* key = state.findKey(apdu.p2);
  if (key == nullptr || key->type != kKeyTypeExternalAuth) {
    return statusOnly(kSwReferenceNotFound);
  }
  if (key->blocked()) {
    return statusOnly(kSwBlocked);
  }
  auto expected = tripleDesEncryptBlock(std::span<const std::uint8_t, kExternalKeyLength>(key->value),
                                        std::span<const std::uint8_t, kChallengeLength>(challenge));
  const bool match = CRYPTO_memcmp(expected.data(), apdu.data.data(), kChallengeLength) == 0;
  OPENSSL_cleanse(expected.data(), expected.size());
  if (!match) {
    return statusOnly(swTriesLeft(key->countFailure()));
  }
  key->resetCounter();
  state.externalAuthGranted = true;
  state.securityState = key->targetState();
  return statusOnly(kSwOk);
}

// Installs or replaces key object P2 in the key file: type byte, four
// attribute bytes, value. Admitted only with the external-authentication
// right, so that no logged-in user can overwrite PIN objects. The error
// counter byte must name at least one try and no more tries left than its
// maximum.
Answer writeKey(CardState& state, const Apdu& apdu) {
  if (apdu.p1 != kWriteKeyP1) {
    return statusOnly(kSwWrongP1P2);
  }
  if (apdu.data.size() < 5) {
    return statusOnly(kSwWrongLength);
  }
  if (!state.externalAuthGranted) {
    return statusOnly(kSwSecurityNotSatisfied);
  }
  const auto keyFileId = state.keyFileId();
  if (!keyFileId) {
    return statusOnly(kSwFileNotFound);
  }
  KeyObject key;
  key.type = apdu.data[0];
  std::copy(apdu.data.begin() + 1, apdu.data.begin() + 5, key.attributes.begin());
  key.value.assign(apdu.data.begin() + 5, apdu.data.end());
  const std::size_t expectedLength = valueLengthOf(key.type);
  if (expectedLength == 0 || key.maxTries() == 0 || key.triesLeft() > key.maxTries()) {
    return statusOnly(kSwWrongData);
  }
  if (key.value.size() != expectedLength) {
    return statusOnly(kSwWrongLength);
  }
  ElementaryFile& keyFile = state.files.at(*keyFileId);
  std::size_t used = keyFile.keySpaceUsed();
  if (const auto old = keyFile.keys.find(apdu.p2); old != keyFile.keys.end()) {
    used -= old->second.footprint();
  }
  if (used + key.footprint() > keyFile.size) {
    return statusOnly(kSwNotEnoughMemory);
  }
  keyFile.keys.insert_or_assign(apdu.p2, std::move(key));
  return statusOnly(kSwOk);
}

}  // namespace vtoken
