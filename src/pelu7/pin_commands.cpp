#include "pelu7/pin_commands.h"

#include "pelu7/transport.h"
#include "vorn_dal_pelu7.h"

namespace pelu7 {
namespace {

constexpr std::uint8_t kVerifyHeader[] = {0x00, 0x20, 0x00};
constexpr std::uint8_t kChangePinHeader[] = {0x80, 0x24, 0x00};
constexpr std::uint8_t kUnblockPinHeader[] = {0x80, 0x2C, 0x00, UnlockPinKey, 0x10};

constexpr int kStatusBlocked = 0x6983;
constexpr int kStatusNoTriesLeft = 0x63C0;
constexpr int kWrongPinMask = 0xFFF0;
constexpr int kMaxTriesLeft = 14;

constexpr Role kSuperUser{SuperUserPin, SuperUserPinCheckFlagFile, VORN_DAL_ERR_SUPER_PIN_LOCKED};
constexpr Role kUser{UserPin, PinCheckFlagFile, VORN_DAL_ERR_USER_PIN_LOCKED};

int send(const CommandApdu& command) {
  Response response;
  return exchange(command, response);
}

}  // namespace

const Role* roleOf(int loginType) {
  switch (loginType) {
    case VORN_DAL_SUPER_USER:
      return &kSuperUser;
    case VORN_DAL_USER:
      return &kUser;
    default:
      return nullptr;
  }
}

int verifyPin(std::uint8_t keyId, const PinValue& value) {
  CommandApdu verify(kVerifyHeader);
  verify.append(keyId).append(kPinValueSize).append(value.bytes);
  return send(verify);
}

int changePin(std::uint8_t keyId, const PinValue& oldValue, const PinValue& newValue) {
  CommandApdu change(kChangePinHeader);
  change.append(keyId).append(2 * kPinValueSize).append(oldValue.bytes).append(newValue.bytes);
  return send(change);
}

int unblockPin(const PinValue& unlockValue, const PinValue& newValue) {
  CommandApdu unblock(kUnblockPinHeader);
  unblock.append(unlockValue.bytes).append(newValue.bytes);
  return send(unblock);
}

bool isPinRefusal(int status) {
  return status == kStatusBlocked ||
         ((status & kWrongPinMask) == kStatusNoTriesLeft && (status & 0x0F) <= kMaxTriesLeft);
}

int mapPinStatus(int status, int blockedCode, int otherCode) {
  if (status == kStatusOk) return 0;
  if (!isPinRefusal(status)) return otherCode;
  if (status == kStatusBlocked || status == kStatusNoTriesLeft) return blockedCode;
  return status & 0x0F;
}

}  // namespace pelu7
