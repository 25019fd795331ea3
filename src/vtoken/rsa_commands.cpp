// GENERATE RSA KEY and the RSA private-key operation on private key files
// (type 3D). Both need the file's use condition (its first access byte).
#include <algorithm>
#include <variant>

#include "command_handlers.h"
#include "rsa_engine.h"
#include "status_words.h"

namespace vtoken {

namespace {

constexpr std::uint8_t kModulusTag = 0x6E;

// The private key file named by P1 P2 when the security state admits its
// use; otherwise the status word that refuses the command.
std::variant<ElementaryFile*, std::uint16_t> usablePrivateKeyFile(CardState& state, const Apdu& apdu) {
  const auto it = state.files.find(apdu.p1p2());
  if (it == state.files.end()) {
    return kSwFileNotFound;
  }
  ElementaryFile& file = it->second;
  if (file.type != kFileTypeRsaPrivateKey) {
    return kSwIncompatibleFile;
  }
  if (!accessAllows(file.access[0], state.securityState)) {
    return kSwSecurityNotSatisfied;
  }
  return &file;
}

}  // namespace

// Generates a 1024-bit key with e = 65537 into the private key file P1 P2
// (kept there as a CRT record, never readable) and answers 6E 80 and the
// modulus. The public key file is the host's business.
Answer generateRsaKey(CardState& state, const Apdu& apdu) {
  if (apdu.hasData() || !apdu.le) {
    return statusOnly(kSwWrongLength);
  }
  const auto target = usablePrivateKeyFile(state, apdu);
  if (const auto* sw = std::get_if<std::uint16_t>(&target)) {
    return statusOnly(*sw);
  }
  ElementaryFile& file = *std::get<ElementaryFile*>(target);
  if (file.content.size() < kRsaRecordLength) {
    return statusOnly(kSwNotEnoughMemory);
  }
  const GeneratedRsaKey key = generateRsaKey1024();
  std::copy(key.record.begin(), key.record.end(), file.content.begin());
  Answer answer{{kModulusTag, static_cast<std::uint8_t>(kModulusLength)}, kSwOk};
  answer.data.insert(answer.data.end(), key.modulus.begin(), key.modulus.end());
  return answer;
}

// Raw RSA of the 128 data bytes with the key in private key file P1 P2.
Answer rsaPrivateOperation(CardState& state, const Apdu& apdu) {
  if (apdu.data.size() != kModulusLength) {
    return statusOnly(kSwWrongLength);
  }
  const auto target = usablePrivateKeyFile(state, apdu);
  if (const auto* sw = std::get_if<std::uint16_t>(&target)) {
    return statusOnly(*sw);
  }
  const ElementaryFile& file = *std::get<ElementaryFile*>(target);
  Answer answer;
  switch (rsaPrivateRaw(file.content, apdu.data, answer.data)) {
    case RsaStatus::kOk:
      return answer;
    case RsaStatus::kNoValidKey:
      return statusOnly(kSwConditionsNotSatisfied);
    case RsaStatus::kInputOutOfRange:
      break;
  }
  return statusOnly(kSwWrongData);
}

}  // namespace vtoken
