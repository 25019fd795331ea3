#include "external_auth.h"

#include <cstdint>

#include "card_layout.h"
#include "log.h"
#include "transport.h"
#include "vorn_dal_pelu7.h"

namespace pelu7 {
namespace {

using card::kExternalAuthenticateHeader;
constexpr unsigned kChallengeSize = card::kChallengeLength;
constexpr int kEcbMode = VORN_DAL_MODE_ECB;
constexpr int kOption = 1;

}  // namespace

int TransportKeyAuth(const unsigned char* key, int keyLen, int keyId) {
  Response challenge;
  {
    CommandApdu getChallenge(card::kGetChallengeHeader);
    int status = exchange(getChallenge, challenge);
    if (status == kSwOk && challenge.length < kChallengeSize) status = kStatusShortAnswer;
    if (status != kSwOk) {
      logFormatted("GET CHALLENGE error:0X%X", status);
      return status == kStatusShortAnswer ? kAuthSoftwareFailure : status;
    }
  }

  void* context = nullptr;
  int result = VORN_DAL_DesAcquireContext(key, keyLen, nullptr, kEcbMode, kOption, &context);
  if (result != 0) {
    logFormatted("VORN_DAL_DesAcquireContext error:%d", result);
    return kAuthSoftwareFailure;
  }
  // The challenge block and the padding block that ECB encryption appends.
  SecretBytes<2 * kChallengeSize> cryptogram;
  int cryptogramLen = 0;
  result = VORN_DAL_DesEncrypt(context, challenge.data, kChallengeSize, cryptogram.bytes, &cryptogramLen);
  if (result != 0) {
    logFormatted("VORN_DAL_DesEncrypt error:%d", result);
    VORN_DAL_DesReleaseCtx(context);
    return kAuthSoftwareFailure;
  }
  VORN_DAL_DesReleaseCtx(context);

  CommandApdu authenticate(kExternalAuthenticateHeader);
  authenticate.append(static_cast<std::uint8_t>(keyId)).append(kChallengeSize);
  authenticate.append({cryptogram.bytes, kChallengeSize});
  Response response;
  const int status = exchange(authenticate, response);
  if (status != kSwOk) {
    logFormatted("EXTERNAL AUTHENTICATE error:0X%X", status);
    return status;
  }
  return kSwOk;
}

}  // namespace pelu7
