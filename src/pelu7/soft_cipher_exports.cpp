// Exports of the software cipher families: DES / triple DES, RC2 and RC4.
//
// Each export converts the opaque handle and the output length pointer and
// calls the typed operation of softcrypt, which is noexcept and returns the
// family's code. None of them touches the card or writes to the log.
//
// Handles, buffers and length pointers are the caller's to get right: only a
// null ctxOut is refused (with the acquire's failure code), and releasing a
// null handle does nothing.
#include "softcrypt/block_cipher_ops.h"
#include "softcrypt/context_storage.h"
#include "softcrypt/des_context.h"
#include "softcrypt/rc2_context.h"
#include "softcrypt/rc4_context.h"
#include "vorn_dal_pelu7.h"

// A second exported name of a function defined in this file. GCC also copies
// the target's attributes to the alias (clang knows no `copy` attribute; the
// declarations in the public header already carry them).
#if defined(__clang__)
#define SAME_FUNCTION_AS(target) __attribute__((alias(#target)))
#else
#define SAME_FUNCTION_AS(target) __attribute__((alias(#target), copy(target)))
#endif

namespace {

softcrypt::DesContext& des(void* ctx) { return *static_cast<softcrypt::DesContext*>(ctx); }
softcrypt::Rc2Context& rc2(void* ctx) { return *static_cast<softcrypt::Rc2Context*>(ctx); }
softcrypt::Rc4Context& rc4(void* ctx) { return *static_cast<softcrypt::Rc4Context*>(ctx); }

}  // namespace

extern "C" {

// Release of all three families: one function under three names.

int VORN_DAL_CALL VORN_DAL_DesReleaseCtx(void* ctx) { return softcrypt::releaseContext(ctx); }
int VORN_DAL_CALL VORN_DAL_Rc2ReleaseCtx(void* ctx) SAME_FUNCTION_AS(VORN_DAL_DesReleaseCtx);
int VORN_DAL_CALL VORN_DAL_Rc4ReleaseCtx(void* ctx) SAME_FUNCTION_AS(VORN_DAL_DesReleaseCtx);

// DES and triple DES.

int VORN_DAL_CALL VORN_DAL_DesAcquireContext(const unsigned char* key, int keyLen, const unsigned char* iv, int mode,
                                             int option, void** ctxOut) {
  return softcrypt::acquireDesContext(key, keyLen, iv, mode, option, ctxOut);
}

int VORN_DAL_CALL VORN_DAL_DesEncUpdate(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                        unsigned char* outData, int* outDataLen) {
  return softcrypt::encryptUpdate(des(ctx), inData, inDataLen, outData, *outDataLen);
}

int VORN_DAL_CALL VORN_DAL_DesEncFinal(void* ctx, unsigned char* outData, int* outDataLen) {
  return softcrypt::encryptFinal(des(ctx), outData, *outDataLen);
}

int VORN_DAL_CALL VORN_DAL_DesEncrypt(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                      unsigned char* outData, int* outDataLen) {
  return softcrypt::encrypt(des(ctx), inData, inDataLen, outData, *outDataLen);
}

int VORN_DAL_CALL VORN_DAL_DesDecUpdate(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                        unsigned char* outData, int* outDataLen) {
  return softcrypt::decryptUpdate(des(ctx), inData, inDataLen, outData, *outDataLen);
}

int VORN_DAL_CALL VORN_DAL_DesDecFinal(void* ctx, unsigned char* outData, int* outDataLen) {
  return softcrypt::decryptFinal(des(ctx), outData, *outDataLen);
}

int VORN_DAL_CALL VORN_DAL_DesDecrypt(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                      unsigned char* outData, int* outDataLen) {
  return softcrypt::decrypt(des(ctx), inData, inDataLen, outData, *outDataLen);
}

int VORN_DAL_CALL VORN_DAL_DesMacUpdate(void* ctx, const unsigned char* inData, unsigned int inDataLen) {
  return softcrypt::macUpdate(des(ctx), inData, inDataLen);
}

int VORN_DAL_CALL VORN_DAL_DesMacFinal(void* ctx, unsigned char* mac, unsigned int macLen) {
  return softcrypt::macFinal(des(ctx), mac, macLen);
}

int VORN_DAL_CALL VORN_DAL_DesMac(void* ctx, const unsigned char* inData, unsigned int inDataLen, unsigned char* mac,
                                  unsigned int macLen) {
  return softcrypt::mac(des(ctx), inData, inDataLen, mac, macLen);
}

// RC2.

int VORN_DAL_CALL VORN_DAL_Rc2AcquireContext(const unsigned char* key, int keyLen, const unsigned char* iv, int mode,
                                             int option, void** ctxOut) {
  return softcrypt::acquireRc2Context(key, keyLen, iv, mode, option, ctxOut);
}

int VORN_DAL_CALL VORN_DAL_Rc2EncUpdate(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                        unsigned char* outData, int* outDataLen) {
  return softcrypt::encryptUpdate(rc2(ctx), inData, inDataLen, outData, *outDataLen);
}

int VORN_DAL_CALL VORN_DAL_Rc2EncFinal(void* ctx, unsigned char* outData, int* outDataLen) {
  return softcrypt::encryptFinal(rc2(ctx), outData, *outDataLen);
}

int VORN_DAL_CALL VORN_DAL_Rc2Encrypt(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                      unsigned char* outData, int* outDataLen) {
  return softcrypt::encrypt(rc2(ctx), inData, inDataLen, outData, *outDataLen);
}

int VORN_DAL_CALL VORN_DAL_Rc2DecUpdate(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                        unsigned char* outData, int* outDataLen) {
  return softcrypt::decryptUpdate(rc2(ctx), inData, inDataLen, outData, *outDataLen);
}

int VORN_DAL_CALL VORN_DAL_Rc2DecFinal(void* ctx, unsigned char* outData, int* outDataLen) {
  return softcrypt::decryptFinal(rc2(ctx), outData, *outDataLen);
}

int VORN_DAL_CALL VORN_DAL_Rc2Decrypt(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                      unsigned char* outData, int* outDataLen) {
  return softcrypt::decrypt(rc2(ctx), inData, inDataLen, outData, *outDataLen);
}

int VORN_DAL_CALL VORN_DAL_Rc2MacUpdate(void* ctx, const unsigned char* inData, unsigned int inDataLen) {
  return softcrypt::macUpdate(rc2(ctx), inData, inDataLen);
}

int VORN_DAL_CALL VORN_DAL_Rc2MacFinal(void* ctx, unsigned char* mac, unsigned int macLen) {
  return softcrypt::macFinal(rc2(ctx), mac, macLen);
}

int VORN_DAL_CALL VORN_DAL_Rc2Mac(void* ctx, const unsigned char* inData, unsigned int inDataLen, unsigned char* mac,
                                  unsigned int macLen) {
  return softcrypt::mac(rc2(ctx), inData, inDataLen, mac, macLen);
}

// RC4: the IV, mode and option arguments are not read.

int VORN_DAL_CALL VORN_DAL_Rc4AcquireContext(const unsigned char* key, int keyLen, const unsigned char*, int, int,
                                             void** ctxOut) {
  return softcrypt::acquireRc4Context(key, keyLen, ctxOut);
}

int VORN_DAL_CALL VORN_DAL_Rc4Update(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                     unsigned char* outData, int* outDataLen) {
  return softcrypt::rc4Update(rc4(ctx), inData, inDataLen, outData, *outDataLen);
}
int VORN_DAL_CALL VORN_DAL_Rc4Encrypt(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                      unsigned char* outData, int* outDataLen)
    SAME_FUNCTION_AS(VORN_DAL_Rc4Update);

int VORN_DAL_CALL VORN_DAL_Rc4Final(void* ctx, unsigned char*, int* outDataLen) {
  return softcrypt::rc4Final(rc4(ctx), *outDataLen);
}

}  // extern "C"
