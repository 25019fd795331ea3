// SSF33 encryption and decryption exports: update, final and one-shot calls
// in ECB or CBC with PKCS#7 padding to the 16-byte block.
//
// Every update and final opens the device, checks its handle and pointers
// (cipher_arguments.h), loads the context's key into the card (also when it
// only buffers), and only then checks mode and lengths. Finals leave the
// context as it was. Output lengths are written only on success.
#include "cipher_arguments.h"
#include "connection.h"
#include "ssf33_context.h"
#include "ssf33_stream.h"

using namespace pelu7;
using softcrypt::StreamResult;
namespace args = pelu7::cipher_arguments;

namespace {

// Whether an update on this context writes output (one that only fills the
// pending block writes none, so it needs no output buffer).
bool updateWrites(const Ssf33Context* context, Direction direction, unsigned int inDataLen) {
  return context != nullptr &&
         softcrypt::updateOutputLength<kSsf33BlockSize>(direction, context->pendingLen, inDataLen) != 0;
}

}  // namespace

extern "C" {

// A bad mode is refused without a log line here, unlike the other three calls.
int VORN_DAL_CALL VORN_DAL_SSF33EncUpdate(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                          unsigned char* outData, int* outDataLen) {
  if (int rc = openDevice(); rc != 0) return rc;
  Ssf33Context* context = ssf33ContextOf(ctx);
  if (const char* refused = args::refusedUpdate(context, inData, inDataLen,
                                                updateWrites(context, Direction::Encrypt, inDataLen), outData,
                                                outDataLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  if (int rc = PELU7_SSF33LoadKey(*context); rc != 0) return rc;
  // One statement per block site, so that each site logs its own line.
  const LogSite firstBlock = LogSite::current();   // the block completed from pending
  const LogSite wholeBlocks = LogSite::current();  // whole blocks after it
  Ssf33BlockCipher cipher(*context, cipherUpdateSites(firstBlock, wholeBlocks));
  const StreamResult result = streamOf(*context).encryptUpdate(cipher, inData, inDataLen, outData, *outDataLen);
  if (result == StreamResult::OutputTooLong) logText("******>indata length");
  return ssf33Code(result, context->mode);
}

int VORN_DAL_CALL VORN_DAL_SSF33EncFinal(void* ctx, unsigned char* outData, int* outDataLen) {
  if (int rc = openDevice(); rc != 0) return rc;
  Ssf33Context* context = ssf33ContextOf(ctx);
  if (const char* refused = args::refusedFinal(context, outData, outDataLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  if (int rc = PELU7_SSF33LoadKey(*context); rc != 0) return rc;
  Ssf33BlockCipher cipher(*context, finalSite(LogSite::current()));
  const StreamResult result = streamOf(*context).encryptFinal(cipher, outData, *outDataLen);
  if (result == StreamResult::BadMode) logText("******>mode donnot support");
  if (result == StreamResult::EncryptFinalLength) logText("******>indata length");
  return ssf33Code(result, context->mode);
}

// The update's output and the final block together must fit the int length,
// which is checked before the update sends anything.
int VORN_DAL_CALL VORN_DAL_SSF33Encrypt(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                        unsigned char* outData, int* outDataLen) {
  const Ssf33Context* context = ssf33ContextOf(ctx);
  if (const char* refused = args::refusedUpdate(context, inData, inDataLen, true, outData, outDataLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  const std::uint64_t total =
      softcrypt::updateOutputLength<kSsf33BlockSize>(Direction::Encrypt, context->pendingLen, inDataLen) +
      kSsf33BlockSize;
  if (!softcrypt::fitsOutputLength(total)) {
    logText("******>indata length");
    return VORN_DAL_ERR_DATA_LENGTH;
  }
  int updateLen = 0;
  int result = VORN_DAL_SSF33EncUpdate(ctx, inData, inDataLen, outData, &updateLen);
  if (result != 0) {
    logText("******>Dev_Rc2Encrypt_PELU3");
    return result;
  }
  int finalLen = 0;
  result = VORN_DAL_SSF33EncFinal(ctx, outData + updateLen, &finalLen);
  if (result != 0) {
    logText("******>Dev_Rc2EncFinal_PELU3");
    return result;
  }
  *outDataLen = updateLen + finalLen;
  return 0;
}

int VORN_DAL_CALL VORN_DAL_SSF33DecUpdate(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                          unsigned char* outData, int* outDataLen) {
  if (int rc = openDevice(); rc != 0) return rc;
  Ssf33Context* context = ssf33ContextOf(ctx);
  if (const char* refused = args::refusedUpdate(context, inData, inDataLen,
                                                updateWrites(context, Direction::Decrypt, inDataLen), outData,
                                                outDataLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  if (int rc = PELU7_SSF33LoadKey(*context); rc != 0) return rc;
  // One statement per block site, so that each site logs its own line.
  const LogSite firstBlock = LogSite::current();   // the block completed from pending
  const LogSite wholeBlocks = LogSite::current();  // whole blocks after it
  Ssf33BlockCipher cipher(*context, cipherUpdateSites(firstBlock, wholeBlocks));
  const StreamResult result = streamOf(*context).decryptUpdate(cipher, inData, inDataLen, outData, *outDataLen);
  if (result == StreamResult::BadMode) logText("******>mode donnot support");
  if (result == StreamResult::OutputTooLong) logText("******>indata length");
  return ssf33Code(result, context->mode);
}

int VORN_DAL_CALL VORN_DAL_SSF33DecFinal(void* ctx, unsigned char* outData, int* outDataLen) {
  if (int rc = openDevice(); rc != 0) return rc;
  Ssf33Context* context = ssf33ContextOf(ctx);
  if (const char* refused = args::refusedFinal(context, outData, outDataLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  if (int rc = PELU7_SSF33LoadKey(*context); rc != 0) return rc;
  Ssf33BlockCipher cipher(*context, finalSite(LogSite::current()));
  const StreamResult result = streamOf(*context).decryptFinal(cipher, outData, *outDataLen);
  if (result == StreamResult::BadMode) logText("******>mode donnot support");
  if (result == StreamResult::DecryptFinalLength) logText("******>indata length");
  if (result == StreamResult::BadPadding) logText("******>pad ");
  return ssf33Code(result, context->mode);
}

// Logs the input length on every call and the output length on success. The
// update holds back at least one byte that the final strips, so the sum of
// the two lengths fits whenever the update's does.
int VORN_DAL_CALL VORN_DAL_SSF33Decrypt(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                        unsigned char* outData, int* outDataLen) {
  logStatus("VORN_DAL_SSF33Decrypt inDataLen=", static_cast<int>(inDataLen));
  if (const char* refused = args::refusedUpdate(ssf33ContextOf(ctx), inData, inDataLen, true, outData, outDataLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  int updateLen = 0;
  int result = VORN_DAL_SSF33DecUpdate(ctx, inData, inDataLen, outData, &updateLen);
  if (result != 0) {
    logText("******>VORN_DAL_SSF33DecUpdate");
    return result;
  }
  int finalLen = 0;
  result = VORN_DAL_SSF33DecFinal(ctx, outData + updateLen, &finalLen);
  if (result != 0) {
    logText("******>Dev_SSF33DecFinal_PELU3");
    return result;
  }
  *outDataLen = updateLen + finalLen;
  logStatus("VORN_DAL_SSF33Decrypt *outDataLen=", *outDataLen);
  return 0;
}

}  // extern "C"
