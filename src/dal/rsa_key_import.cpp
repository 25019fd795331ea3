// Import of a 1024-bit key pair made outside the token: the modulus goes into
// the public key file, the private key in CRT form into the private key file.
// The counter is advanced only after both files have been filled, so a
// failed import leaves its ids to be handed out again.
#include "connection.h"
#include "rsa_key_files.h"
#include "transport.h"

using namespace pelu7;

// The first and third arguments are accepted and never read. The key
// elements are read at their fixed lengths: 128 bytes of n, 64 of the others.
extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_ImportRsaKeyPair(const void* /*reserved1*/,
                                                                       const unsigned char* n,
                                                                       const void* /*reserved2*/,
                                                                       const unsigned char* p,
                                                                       const unsigned char* q,
                                                                       const unsigned char* dP,
                                                                       const unsigned char* dQ,
                                                                       const unsigned char* qInv, int* pubKeyId,
                                                                       int* priKeyId) {
  if (int rc = openDevice(); rc != 0) return rc;
  if (n == nullptr || p == nullptr || q == nullptr || dP == nullptr || dQ == nullptr || qInv == nullptr ||
      pubKeyId == nullptr || priKeyId == nullptr) {
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
  RsaPublicKeyRecord publicRecord;
  fillPublicKeyRecord(publicRecord, n);
  status = writePublicKeyRecord(publicFile, publicRecord);
  if (status != 0) {
    logKeyFileWriteFailure(status);
    return cardFailure(VORN_DAL_ERR_WRITE_FILE);
  }

  status = createRsaPrivateKeyFile(privateFile);
  if (status != kSwOk) {
    logStatus("******>ICC_tsi_api Error:", status);
    return cardFailure(VORN_DAL_ERR_CREATE_FILE);
  }
  RsaPrivateKeyRecord privateRecord;
  fillPrivateKeyRecord(privateRecord, p, q, dP, dQ, qInv);
  status = writePrivateKeyRecord(privateFile, privateRecord);
  if (status != 0) {
    logKeyFileWriteFailure(status);
    return cardFailure(VORN_DAL_ERR_WRITE_FILE);
  }
  return 0;
}
