#include "pin_commands.h"

#include "transport.h"
#include "vorn_dal_pelu7.h"

namespace pelu7 {
namespace {

using card::kChangePinHeader;
using card::kVerifyHeader;
// UNBLOCK PIN names the unblock key and carries its value and the new PIN.
constexpr std::uint8_t kUnblockPinHeader[] = {card::kUnblockPinHeader[0], card::kUnblockPinHeader[1],
                                              card::kUnblockPinHeader[2], UnlockPinKey, 2 * kPinValueSize};

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
  return status == card::kSwBlocked ||
         (card::isTriesLeft(status) && card::triesLeftOf(status) <= static_cast<unsigned>(kMaxTriesLeft));
}

int mapPinStatus(int status, int blockedCode, int otherCode) {
  if (status == kSwOk) return 0;
  if (!isPinRefusal(status)) return otherCode;
  if (status == card::kSwBlocked || status == card::swTriesLeft(0)) return blockedCode;
  return static_cast<int>(card::triesLeftOf(status));
}

}  // namespace pelu7
