// Key pair generation on the card and export of a public key.
//
// Generation allocates a pair of file ids, creates both key files, advances
// the counter and only then has the card generate the key into the private
// key file; the modulus it answers goes into the public key file. Nothing
// that a failed step leaves on the card is undone.
#include <cstdint>
#include <cstring>

#include "connection.h"
#include "rsa_key_files.h"
#include "transport.h"

namespace pelu7 {
namespace {

// GENERATE RSA KEY: P1 P2 name the private key file, Le = 00.
using card::kGenerateRsaKeyHeader;

}  // namespace
}  // namespace pelu7

using namespace pelu7;

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_GenRsaKeyPair(int modulusLen, int* pubKeyId, int* priKeyId) {
  if (int rc = openDevice(); rc != 0) return rc;
  if (modulusLen != kRsaModulusBits) {
    logText("******>modulusLen");
    return VORN_DAL_ERR_MODULUS_LENGTH;
  }
  if (pubKeyId == nullptr || priKeyId == nullptr) {
    logText("******>null pointer");
    return VORN_DAL_ERR_ARGUMENT;
  }

  KeyPairIds ids;
  if (int rc = takeKeyPairIds(ids, pubKeyId, priKeyId); rc != 0) return rc;
  const int publicFile = ids.publicFile;
  const int privateFile = ids.privateFile;

  int status = createRsaPublicKeyFile(publicFile);
  if (status != kSwOk) {
    logStatus("******>ICC_tsi_api Error:", status);
    return cardFailure(VORN_DAL_ERR_CREATE_FILE);
  }
  status = createRsaPrivateKeyFile(privateFile);
  if (status != kSwOk) {
    logStatus("******>ICC_tsi_api Error:", status);
    return cardFailure(VORN_DAL_ERR_CREATE_FILE);
  }

  CommandApdu generate(kGenerateRsaKeyHeader);
  generate.append16(static_cast<unsigned>(privateFile)).append(0x00);
  Response answer;
  status = exchange(generate, answer);
  if (status != kSwOk) {
    logStatus("******>PELU7_tsi_api:", status);
    return cardFailure(VORN_DAL_ERR_GEN_KEY_PAIR);
  }
  // A card that answers without data is asked once more.
  if (answer.length == 0) {
    status = exchange(generate, answer);
    if (status != kSwOk) {
      logStatus("******>PELU7_tsi_api:", status);
      return cardFailure(VORN_DAL_ERR_GEN_KEY_PAIR);
    }
  }
  // The public key record is built only from bytes that the card sent.
  if (answer.length < kModulusElementSize) {
    logStatus("******>PELU7_tsi_api:", kStatusShortAnswer);
    return cardFailure(VORN_DAL_ERR_GEN_KEY_PAIR);
  }

  RsaPublicKeyRecord record;
  fillPublicKeyRecordFromElement(record, answer.data);
  status = writePublicKeyRecord(publicFile, record);
  if (status != 0) {
    logStatus("******>PELU7_WriteFileBin:", status);
    return cardFailure(VORN_DAL_ERR_WRITE_FILE);
  }
  return 0;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_GetPublicKey(int pubKeyId, unsigned char* modulus,
                                                                   int* modulusLen) {
  if (int rc = openDevice(); rc != 0) return rc;
  if (modulus == nullptr || modulusLen == nullptr) {
    logText("******>null pointer");
    return VORN_DAL_ERR_ARGUMENT;
  }
  std::uint8_t element[kModulusElementSize];
  if (PELU7_ReadFileBin(pubKeyId, 0, element, kModulusElementSize) != 0) {
    logText("******>PELU7_ReadFileBin");
    return cardFailure(VORN_DAL_ERR_READ_FILE);
  }
  // Tag and length bytes are not checked: the modulus follows them.
  std::memcpy(modulus, element + 2, kRsaModulusSize);
  *modulusLen = static_cast<int>(kRsaModulusSize);
  return 0;
}
