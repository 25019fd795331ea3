// Random bytes drawn from the card, 8 bytes per GET CHALLENGE.
#include <cstdint>
#include <cstring>

#include "connection.h"
#include "transport.h"

namespace pelu7 {
namespace {

constexpr unsigned kChallengeSize = card::kChallengeLength;

// One challenge of the card; false when refused or shorter than 8 bytes (a
// short answer must not yield bytes the card did not send).
bool drawChallenge(Response& response) {
  CommandApdu challenge(card::kGetChallengeHeader);
  return exchange(challenge, response) == kSwOk && response.length >= kChallengeSize;
}

}  // namespace
}  // namespace pelu7

using namespace pelu7;

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_GenRand(unsigned int randLen, unsigned char* randData) {
  if (int rc = openDevice(); rc != 0) return rc;
  while (randLen > 0) {
    Response response;
    if (!drawChallenge(response)) {
      logText("******>gen rand");
      return cardFailure(VORN_DAL_ERR_RANDOM);
    }
    const unsigned take = randLen < kChallengeSize ? randLen : kChallengeSize;
    std::memcpy(randData, response.data, take);
    randData += take;
    randLen -= take;
  }
  return 0;
}
