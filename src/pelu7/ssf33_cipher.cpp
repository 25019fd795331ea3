// SSF33 encryption and decryption exports: update, final and one-shot calls
// in ECB or CBC with PKCS#7 padding to the 16-byte block.
//
// Every update and final opens the device, loads the context's key into the
// card (also when it only buffers), and only then checks mode and lengths.
// Finals leave the context as it was. Output lengths are written only on
// success.
#include "pelu7/connection.h"
#include "pelu7/ssf33_context.h"
#include "pelu7/ssf33_stream.h"

using namespace pelu7;
using softcrypt::StreamResult;

namespace {

Ssf33Context& ssf33(void* ctx) { return *static_cast<Ssf33Context*>(ctx); }

}  // namespace

extern "C" {

// A bad mode is refused without a log line here, unlike the other three calls.
int VORN_DAL_CALL VORN_DAL_SSF33EncUpdate(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                          unsigned char* outData, int* outDataLen) {
  PELU7_OPEN_DEVICE_OR_RETURN();
  Ssf33Context& context = ssf33(ctx);
  PELU7_SSF33_LOAD_KEY_OR_RETURN(context);
  Ssf33BlockCipher cipher(context, cipherUpdateSites(PELU7_HERE,    // the block completed from pending
                                                     PELU7_HERE));  // whole blocks after it
  const StreamResult result = streamOf(context).encryptUpdate(cipher, inData, inDataLen, outData, *outDataLen);
  return ssf33Code(result, context.mode);
}

int VORN_DAL_CALL VORN_DAL_SSF33EncFinal(void* ctx, unsigned char* outData, int* outDataLen) {
  PELU7_OPEN_DEVICE_OR_RETURN();
  Ssf33Context& context = ssf33(ctx);
  PELU7_SSF33_LOAD_KEY_OR_RETURN(context);
  Ssf33BlockCipher cipher(context, finalSite(PELU7_HERE));
  const StreamResult result = streamOf(context).encryptFinal(cipher, outData, *outDataLen);
  if (result == StreamResult::BadMode) PELU7_LOG("******>mode donnot support");
  if (result == StreamResult::EncryptFinalLength) PELU7_LOG("******>indata length");
  return ssf33Code(result, context.mode);
}

int VORN_DAL_CALL VORN_DAL_SSF33Encrypt(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                        unsigned char* outData, int* outDataLen) {
  int updateLen = 0;
  int result = VORN_DAL_SSF33EncUpdate(ctx, inData, inDataLen, outData, &updateLen);
  if (result != 0) {
    PELU7_LOG("******>Dev_Rc2Encrypt_PELU3");
    return result;
  }
  int finalLen = 0;
  result = VORN_DAL_SSF33EncFinal(ctx, outData + updateLen, &finalLen);
  if (result != 0) {
    PELU7_LOG("******>Dev_Rc2EncFinal_PELU3");
    return result;
  }
  *outDataLen = updateLen + finalLen;
  return 0;
}

int VORN_DAL_CALL VORN_DAL_SSF33DecUpdate(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                          unsigned char* outData, int* outDataLen) {
  PELU7_OPEN_DEVICE_OR_RETURN();
  Ssf33Context& context = ssf33(ctx);
  PELU7_SSF33_LOAD_KEY_OR_RETURN(context);
  Ssf33BlockCipher cipher(context, cipherUpdateSites(PELU7_HERE,    // the block completed from pending
                                                     PELU7_HERE));  // whole blocks after it
  const StreamResult result = streamOf(context).decryptUpdate(cipher, inData, inDataLen, outData, *outDataLen);
  if (result == StreamResult::BadMode) PELU7_LOG("******>mode donnot support");
  return ssf33Code(result, context.mode);
}

int VORN_DAL_CALL VORN_DAL_SSF33DecFinal(void* ctx, unsigned char* outData, int* outDataLen) {
  PELU7_OPEN_DEVICE_OR_RETURN();
  Ssf33Context& context = ssf33(ctx);
  PELU7_SSF33_LOAD_KEY_OR_RETURN(context);
  Ssf33BlockCipher cipher(context, finalSite(PELU7_HERE));
  const StreamResult result = streamOf(context).decryptFinal(cipher, outData, *outDataLen);
  if (result == StreamResult::BadMode) PELU7_LOG("******>mode donnot support");
  if (result == StreamResult::DecryptFinalLength) PELU7_LOG("******>indata length");
  if (result == StreamResult::BadPadding) PELU7_LOG("******>pad ");
  return ssf33Code(result, context.mode);
}

// Logs the input length on every call and the output length on success.
int VORN_DAL_CALL VORN_DAL_SSF33Decrypt(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                        unsigned char* outData, int* outDataLen) {
  PELU7_LOG_STATUS("VORN_DAL_SSF33Decrypt inDataLen=", static_cast<int>(inDataLen));
  int updateLen = 0;
  int result = VORN_DAL_SSF33DecUpdate(ctx, inData, inDataLen, outData, &updateLen);
  if (result != 0) {
    PELU7_LOG("******>VORN_DAL_SSF33DecUpdate");
    return result;
  }
  int finalLen = 0;
  result = VORN_DAL_SSF33DecFinal(ctx, outData + updateLen, &finalLen);
  if (result != 0) {
    PELU7_LOG("******>Dev_SSF33DecFinal_PELU3");
    return result;
  }
  *outDataLen = updateLen + finalLen;
  PELU7_LOG_STATUS("VORN_DAL_SSF33Decrypt *outDataLen=", *outDataLen);
  return 0;
}

}  // extern "C"
