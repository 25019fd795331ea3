// The RSA public-key operations, computed in software with a caller's
// modulus (128 or 256 bytes, most significant first) and the exponent 65537:
// raw RSA, PKCS#1 v1.5 encryption and recovery of PKCS#1 v1.5 type-1 padded
// data. They neither open the device nor touch the card.
#include "log.h"
#include "softcrypt/rsa_public_key.h"
#include "vorn_dal_pelu7.h"

namespace pelu7 {
namespace {

bool supportedModulusLength(unsigned int modulusLen) { return modulusLen == 128 || modulusLen == 256; }

// Null buffers are outside the interface; they are refused where OpenSSL
// would otherwise read or write through them.
bool buffersGiven(const unsigned char* modulus, const unsigned char* inData, int inDataLen,
                  const unsigned char* outData, const int* outDataLen) {
  return modulus != nullptr && (inData != nullptr || inDataLen <= 0) && outData != nullptr &&
         outDataLen != nullptr;
}

}  // namespace
}  // namespace pelu7

using namespace pelu7;
using softcrypt::RsaPublicKeyBlock;

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_RsaPublicKeyRaw(const unsigned char* modulus,
                                                                      unsigned int modulusLen,
                                                                      const unsigned char* inData, int inDataLen,
                                                                      unsigned char* outData, int* outDataLen) {
  if (!supportedModulusLength(modulusLen)) {
    logText("******>n len");
    return VORN_DAL_ERR_MODULUS_LENGTH;
  }
  if (!buffersGiven(modulus, inData, inDataLen, outData, outDataLen)) {
    logText("******>null pointer");
    return VORN_DAL_ERR_ARGUMENT;
  }
  RsaPublicKeyBlock block;
  softcrypt::fillRsaPublicKeyBlock(block, modulus, modulusLen);
  int length = softcrypt::kRsaFailed;
  if (inDataLen == softcrypt::modulusBytes(block)) {
    length = softcrypt::rsaPublicEncrypt(block, inData, inDataLen, outData, softcrypt::RsaPadding::kNone);
  }
  if (length <= 0) {
    logText("******>XRSADecrypt");
    return VORN_DAL_ERR_RSA;
  }
  *outDataLen = length;
  return 0;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_Pkcs1RsaPublicKeyEnc(const unsigned char* modulus,
                                                                           unsigned int modulusLen,
                                                                           const unsigned char* inData,
                                                                           int inDataLen, unsigned char* outData,
                                                                           int* outDataLen) {
  if (!supportedModulusLength(modulusLen)) {
    logText("******>n len");
    return VORN_DAL_ERR_MODULUS_LENGTH;
  }
  if (!buffersGiven(modulus, inData, inDataLen, outData, outDataLen)) {
    logText("******>null pointer");
    return VORN_DAL_ERR_ARGUMENT;
  }
  RsaPublicKeyBlock block;
  softcrypt::fillRsaPublicKeyBlock(block, modulus, modulusLen);
  // A negative length is refused, and logged, like data that is too long.
  const int length =
      softcrypt::rsaPublicEncrypt(block, inData, inDataLen, outData, softcrypt::RsaPadding::kPkcs1);
  if (length <= 0) {
    logText("******>Quenta_Pkcs1RsaPublicKeyEnc");
    return VORN_DAL_ERR_RSA;
  }
  *outDataLen = length;
  return 0;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_Pkcs1RsaPublicKeyDec(const unsigned char* modulus,
                                                                           unsigned int modulusLen,
                                                                           const unsigned char* inData,
                                                                           int inDataLen, unsigned char* outData,
                                                                           int* outDataLen) {
  if (!supportedModulusLength(modulusLen)) {
    logText("******>n len");
    return VORN_DAL_ERR_MODULUS_LENGTH;
  }
  if (!buffersGiven(modulus, inData, inDataLen, outData, outDataLen)) {
    logText("******>null pointer");
    return VORN_DAL_ERR_ARGUMENT;
  }
  RsaPublicKeyBlock block;
  softcrypt::fillRsaPublicKeyBlock(block, modulus, modulusLen);
  int length = softcrypt::kRsaFailed;
  if (inDataLen == softcrypt::modulusBytes(block)) {
    length = softcrypt::rsaPublicRecover(block, inData, inDataLen, outData);
  }
  if (length < 0) {
    logText("******>Quenta_Pkcs1RsaPublicKeyDec");
    return VORN_DAL_ERR_RSA;
  }
  *outDataLen = length;
  return 0;
}
