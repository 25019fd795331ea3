// Logging a role in and out, and asking the card who is logged in. The login
// state is the card's security state; nothing is kept on the host.
#include <cstdint>

#include "connection.h"
#include "pin_commands.h"
#include "transport.h"

namespace pelu7 {
namespace {

using card::kSelectHeader;
// READ BINARY of the first two bytes of a flag file.
constexpr std::uint8_t kReadFlag[] = {card::kReadBinaryHeader[0], card::kReadBinaryHeader[1], 0x00, 0x00, 0x02};

}  // namespace
}  // namespace pelu7

using namespace pelu7;

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_Login(int loginType, const unsigned char* pin, int pinLen) {
  if (int rc = openDevice(); rc != 0) return rc;
  const Role* role = roleOf(loginType);
  if (role == nullptr) {
    logText("******>login type");
    return VORN_DAL_ERR_ARGUMENT;
  }
  if (pinLen < 0) {
    logText("******>pin len");
    return VORN_DAL_ERR_ARGUMENT;
  }
  PinValue value;
  derivePin(pin, pinLen, value);
  const int status = verifyPin(role->pinKeyId, value);
  if (status == kSwOk) return 0;
  logText("******>chk pin");
  return cardFailure(mapPinStatus(status, role->blockedCode, VORN_DAL_ERR_LOGIN));
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_Logout(int loginType) {
  if (int rc = openDevice(); rc != 0) return rc;
  if (roleOf(loginType) == nullptr) {
    logText("******>login type");
    return VORN_DAL_ERR_ARGUMENT;
  }
  // The logout PIN moves the card to a state in which neither role counts as
  // logged in, whichever role was.
  PinValue value;
  deriveFixedPin(kLogoutPinText, value);
  if (verifyPin(LogoutPin, value) != kSwOk) {
    logText("******>chk usr pin");
    return cardFailure(VORN_DAL_ERR_LOGOUT);
  }
  return 0;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_IsLogin(int loginType, int* isLogin) {
  if (int rc = openDevice(); rc != 0) return rc;
  const Role* role = roleOf(loginType);
  if (role == nullptr) {
    logText("******>login type");
    return VORN_DAL_ERR_ARGUMENT;
  }
  // The role's flag file can be read exactly while the role is logged in.
  CommandApdu select(kSelectHeader);
  select.append16(static_cast<unsigned>(role->flagFile));
  Response response;
  int status = exchange(select, response);
  if (status != kSwOk) {
    logStatus("******>Wrt Select Error:", status);
    *isLogin = 0;
    return cardFailure(VORN_DAL_ERR_OTHER);
  }
  CommandApdu read(kReadFlag);
  status = exchange(read, response);
  if (status != kSwOk) {
    logStatus("******>ICC_tsi_api Error:", status);
    *isLogin = 0;
    // Unreadable means logged out, unless the card could not be asked.
    return cardFailure(0);
  }
  *isLogin = 1;
  return 0;
}
