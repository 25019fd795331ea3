// The SSF33 commands, all 80 78 with P1 selecting the function: 04 probe,
// 05 key load, 00 block encrypt, 01 block decrypt. The loaded key is volatile
// card state. A card made without SSF33 knows none of them (6D00).
#include "block_ciphers.h"
#include "command_handlers.h"
#include "status_words.h"

namespace vtoken {

namespace {

constexpr std::uint8_t kEncryptBlock = card::kSsf33Encrypt;
constexpr std::uint8_t kDecryptBlock = card::kSsf33Decrypt;
constexpr std::uint8_t kProbe = card::kSsf33Probe;
constexpr std::uint8_t kLoadKey = card::kSsf33LoadKey;
constexpr std::uint8_t kKeyReference = card::kSsf33KeyReference;
constexpr std::size_t kBlockLength = 16;

}  // namespace

Answer ssf33Command(CardState& state, const Apdu& apdu) {
  if (!state.ssf33Supported) {
    return statusOnly(kSwUnknownInstruction);
  }
  switch (apdu.p1) {
    case kProbe:
      if (apdu.p2 != 0x00) {
        return statusOnly(kSwWrongP1P2);
      }
      return statusOnly(apdu.hasData() ? kSwWrongLength : kSwOk);
    case kLoadKey:
      if (apdu.p2 != kKeyReference) {
        return statusOnly(kSwWrongP1P2);
      }
      if (apdu.data.size() != kBlockLength) {
        return statusOnly(kSwWrongLength);
      }
      state.ssf33Key.assign(apdu.data.begin(), apdu.data.end());
      return statusOnly(kSwOk);
    case kEncryptBlock:
    case kDecryptBlock: {
      if (apdu.p2 != kKeyReference) {
        return statusOnly(kSwWrongP1P2);
      }
      if (apdu.data.size() != kBlockLength) {
        return statusOnly(kSwWrongLength);
      }
      if (state.ssf33Key.size() != kBlockLength) {
        return statusOnly(kSwConditionsNotSatisfied);
      }
      const auto out = ssf33Block(apdu.p1 == kEncryptBlock,
                                  std::span<const std::uint8_t, kBlockLength>(state.ssf33Key),
                                  std::span<const std::uint8_t, kBlockLength>(apdu.data));
      return Answer{{out.begin(), out.end()}, kSwOk};
    }
    default:
      return statusOnly(kSwWrongP1P2);
  }
}

}  // namespace vtoken
