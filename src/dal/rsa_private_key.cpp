// The private-key operation on the card: one 128-byte block goes in, the card
// applies the key of a private key file to it (no padding on either side) and
// answers the 128-byte result.
#include <cstdint>
#include <cstring>

#include "connection.h"
#include "rsa_key_files.h"
#include "transport.h"

namespace pelu7 {
namespace {

// RSA private-key operation: P1 P2 name the private key file, Lc = 80.
using card::kRsaPrivateHeader;

}  // namespace
}  // namespace pelu7

using namespace pelu7;

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_RsaPrivateKeyRaw(int priKeyId, const unsigned char* inData,
                                                                       int inDataLen, unsigned char* outData,
                                                                       int* outDataLen) {
  if (int rc = openDevice(); rc != 0) return rc;
  if (inDataLen != static_cast<int>(kRsaModulusSize)) {
    logText("******>indata length");
    return VORN_DAL_ERR_DATA_LENGTH;
  }
  if (inData == nullptr || outData == nullptr || outDataLen == nullptr) {
    logText("******>null pointer");
    return VORN_DAL_ERR_ARGUMENT;
  }

  CommandApdu command(kRsaPrivateHeader);
  command.append16(static_cast<unsigned>(priKeyId))
      .append(static_cast<std::uint8_t>(kRsaModulusSize))
      .append({inData, kRsaModulusSize});
  Response answer;
  const int status = exchange(command, answer);
  if (status != kSwOk) {
    logText("******>PELU7_tsi_api");
    return cardFailure(VORN_DAL_ERR_RSA);
  }
  // Never hand out bytes that the card did not send.
  if (answer.length < kRsaModulusSize) {
    logText("******>PELU7_tsi_api");
    return cardFailure(VORN_DAL_ERR_RSA);
  }
  std::memcpy(outData, answer.data, kRsaModulusSize);
  *outDataLen = static_cast<int>(kRsaModulusSize);
  return 0;
}
