// Exports of the software cipher families: DES / triple DES, RC2 and RC4.
//
// Each export checks its handle and pointers (cipher_arguments.h: a handle of
// another kind or a null pointer the call needs is refused with
// VORN_DAL_ERR_ARGUMENT and one log line, before anything is touched), then
// calls the typed operation of softcrypt, which is noexcept and returns the
// family's code. None of them touches the card.
#include "cipher_arguments.h"
#include "cipher_codes.h"
#include "log.h"
#include "softcrypt/block_cipher_ops.h"
#include "softcrypt/context_storage.h"
#include "softcrypt/des_context.h"
#include "softcrypt/rc2_context.h"
#include "softcrypt/rc4_context.h"
#include "ssf33_context.h"
#include "vorn_dal_pelu7.h"

// A second exported name of a function defined in this file; `bytes` is the
// size of its arguments, which 32-bit Windows appends to a __stdcall
// function's symbol (target@bytes). GCC also copies the target's attributes
// to the alias (clang knows no `copy` attribute; the declarations in the
// public header already carry them).
#if defined(_WIN32) && !defined(_WIN64)
#define ALIAS_SYMBOL(target, bytes) #target "@" #bytes
#else
#define ALIAS_SYMBOL(target, bytes) #target
#endif
#if defined(__clang__)
#define SAME_FUNCTION_AS(target, bytes) __attribute__((alias(ALIAS_SYMBOL(target, bytes))))
#else
#define SAME_FUNCTION_AS(target, bytes) __attribute__((alias(ALIAS_SYMBOL(target, bytes)), copy(target)))
#endif

namespace {

namespace args = pelu7::cipher_arguments;
using pelu7::acquireCode;
using pelu7::cipherCode;
using pelu7::CipherFamily;
using pelu7::kRc4AcquireRefused;
using pelu7::logText;
using pelu7::rc4Code;
using softcrypt::contextOf;
using softcrypt::DesContext;
using softcrypt::Direction;
using softcrypt::Rc2Context;
using softcrypt::Rc4Context;

// Whether an update on this context writes output (one that only fills the
// pending block writes none, so it needs no output buffer).
template <class Context>
bool updateWrites(const Context* context, Direction direction, unsigned int inDataLen) {
  return context != nullptr &&
         softcrypt::updateOutputLength<sizeof context->pending>(direction, context->pendingLen, inDataLen) != 0;
}

// Every acquire that got this far reads the key: a length of 0 or below is
// refused by the family without reading it.
bool keyRead(int keyLen) { return keyLen > 0; }

}  // namespace

extern "C" {

// Release of every kind of cipher context (one function under three names):
// DES, RC2, RC4 and SSF33 contexts are recognised by their tag, cleansed and
// freed; null and unknown handles are left alone. Always 0.

int VORN_DAL_CALL VORN_DAL_DesReleaseCtx(void* ctx) {
  if (!softcrypt::releaseSoftContext(ctx)) pelu7::releaseSsf33Context(ctx);
  return 0;
}
int VORN_DAL_CALL VORN_DAL_Rc2ReleaseCtx(void* ctx) SAME_FUNCTION_AS(VORN_DAL_DesReleaseCtx, 4);
int VORN_DAL_CALL VORN_DAL_Rc4ReleaseCtx(void* ctx) SAME_FUNCTION_AS(VORN_DAL_DesReleaseCtx, 4);

// DES and triple DES.

int VORN_DAL_CALL VORN_DAL_DesAcquireContext(const unsigned char* key, int keyLen, const unsigned char* iv, int mode,
                                             int option, void** ctxOut) {
  if (const char* refused = args::refusedAcquire(key, keyRead(keyLen), iv, mode, ctxOut)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return acquireCode(softcrypt::acquireDesContext(key, keyLen, iv, mode, option, ctxOut), CipherFamily::Des);
}

int VORN_DAL_CALL VORN_DAL_DesEncUpdate(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                        unsigned char* outData, int* outDataLen) {
  DesContext* context = contextOf<DesContext>(ctx);
  if (const char* refused = args::refusedUpdate(context, inData, inDataLen, updateWrites(context, Direction::Encrypt, inDataLen), outData, outDataLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return cipherCode(softcrypt::encryptUpdate(*context, inData, inDataLen, outData, *outDataLen), CipherFamily::Des);
}

int VORN_DAL_CALL VORN_DAL_DesEncFinal(void* ctx, unsigned char* outData, int* outDataLen) {
  DesContext* context = contextOf<DesContext>(ctx);
  if (const char* refused = args::refusedFinal(context, outData, outDataLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return cipherCode(softcrypt::encryptFinal(*context, outData, *outDataLen), CipherFamily::Des);
}

int VORN_DAL_CALL VORN_DAL_DesEncrypt(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                        unsigned char* outData, int* outDataLen) {
  DesContext* context = contextOf<DesContext>(ctx);
  if (const char* refused = args::refusedUpdate(context, inData, inDataLen, true, outData, outDataLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return cipherCode(softcrypt::encrypt(*context, inData, inDataLen, outData, *outDataLen), CipherFamily::Des);
}

int VORN_DAL_CALL VORN_DAL_DesDecUpdate(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                        unsigned char* outData, int* outDataLen) {
  DesContext* context = contextOf<DesContext>(ctx);
  if (const char* refused = args::refusedUpdate(context, inData, inDataLen, updateWrites(context, Direction::Decrypt, inDataLen), outData, outDataLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return cipherCode(softcrypt::decryptUpdate(*context, inData, inDataLen, outData, *outDataLen), CipherFamily::Des);
}

int VORN_DAL_CALL VORN_DAL_DesDecFinal(void* ctx, unsigned char* outData, int* outDataLen) {
  DesContext* context = contextOf<DesContext>(ctx);
  if (const char* refused = args::refusedFinal(context, outData, outDataLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return cipherCode(softcrypt::decryptFinal(*context, outData, *outDataLen), CipherFamily::Des);
}

int VORN_DAL_CALL VORN_DAL_DesDecrypt(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                        unsigned char* outData, int* outDataLen) {
  DesContext* context = contextOf<DesContext>(ctx);
  if (const char* refused = args::refusedUpdate(context, inData, inDataLen, true, outData, outDataLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return cipherCode(softcrypt::decrypt(*context, inData, inDataLen, outData, *outDataLen), CipherFamily::Des);
}

int VORN_DAL_CALL VORN_DAL_DesMacUpdate(void* ctx, const unsigned char* inData, unsigned int inDataLen) {
  DesContext* context = contextOf<DesContext>(ctx);
  if (const char* refused = args::refusedMac(context, inData, inDataLen, nullptr, 0)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return cipherCode(softcrypt::macUpdate(*context, inData, inDataLen), CipherFamily::Des);
}

int VORN_DAL_CALL VORN_DAL_DesMacFinal(void* ctx, unsigned char* mac, unsigned int macLen) {
  DesContext* context = contextOf<DesContext>(ctx);
  if (const char* refused = args::refusedMac(context, nullptr, 0, mac, macLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return cipherCode(softcrypt::macFinal(*context, mac, macLen), CipherFamily::Des);
}

int VORN_DAL_CALL VORN_DAL_DesMac(void* ctx, const unsigned char* inData, unsigned int inDataLen, unsigned char* mac,
                                  unsigned int macLen) {
  DesContext* context = contextOf<DesContext>(ctx);
  if (const char* refused = args::refusedMac(context, inData, inDataLen, mac, macLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return cipherCode(softcrypt::mac(*context, inData, inDataLen, mac, macLen), CipherFamily::Des);
}

// RC2.

int VORN_DAL_CALL VORN_DAL_Rc2AcquireContext(const unsigned char* key, int keyLen, const unsigned char* iv, int mode,
                                             int option, void** ctxOut) {
  if (const char* refused = args::refusedAcquire(key, keyRead(keyLen), iv, mode, ctxOut)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return acquireCode(softcrypt::acquireRc2Context(key, keyLen, iv, mode, option, ctxOut), CipherFamily::Rc2);
}

int VORN_DAL_CALL VORN_DAL_Rc2EncUpdate(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                        unsigned char* outData, int* outDataLen) {
  Rc2Context* context = contextOf<Rc2Context>(ctx);
  if (const char* refused = args::refusedUpdate(context, inData, inDataLen, updateWrites(context, Direction::Encrypt, inDataLen), outData, outDataLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return cipherCode(softcrypt::encryptUpdate(*context, inData, inDataLen, outData, *outDataLen), CipherFamily::Rc2);
}

int VORN_DAL_CALL VORN_DAL_Rc2EncFinal(void* ctx, unsigned char* outData, int* outDataLen) {
  Rc2Context* context = contextOf<Rc2Context>(ctx);
  if (const char* refused = args::refusedFinal(context, outData, outDataLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return cipherCode(softcrypt::encryptFinal(*context, outData, *outDataLen), CipherFamily::Rc2);
}

int VORN_DAL_CALL VORN_DAL_Rc2Encrypt(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                        unsigned char* outData, int* outDataLen) {
  Rc2Context* context = contextOf<Rc2Context>(ctx);
  if (const char* refused = args::refusedUpdate(context, inData, inDataLen, true, outData, outDataLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return cipherCode(softcrypt::encrypt(*context, inData, inDataLen, outData, *outDataLen), CipherFamily::Rc2);
}

int VORN_DAL_CALL VORN_DAL_Rc2DecUpdate(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                        unsigned char* outData, int* outDataLen) {
  Rc2Context* context = contextOf<Rc2Context>(ctx);
  if (const char* refused = args::refusedUpdate(context, inData, inDataLen, updateWrites(context, Direction::Decrypt, inDataLen), outData, outDataLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return cipherCode(softcrypt::decryptUpdate(*context, inData, inDataLen, outData, *outDataLen), CipherFamily::Rc2);
}

int VORN_DAL_CALL VORN_DAL_Rc2DecFinal(void* ctx, unsigned char* outData, int* outDataLen) {
  Rc2Context* context = contextOf<Rc2Context>(ctx);
  if (const char* refused = args::refusedFinal(context, outData, outDataLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return cipherCode(softcrypt::decryptFinal(*context, outData, *outDataLen), CipherFamily::Rc2);
}

int VORN_DAL_CALL VORN_DAL_Rc2Decrypt(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                        unsigned char* outData, int* outDataLen) {
  Rc2Context* context = contextOf<Rc2Context>(ctx);
  if (const char* refused = args::refusedUpdate(context, inData, inDataLen, true, outData, outDataLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return cipherCode(softcrypt::decrypt(*context, inData, inDataLen, outData, *outDataLen), CipherFamily::Rc2);
}

int VORN_DAL_CALL VORN_DAL_Rc2MacUpdate(void* ctx, const unsigned char* inData, unsigned int inDataLen) {
  Rc2Context* context = contextOf<Rc2Context>(ctx);
  if (const char* refused = args::refusedMac(context, inData, inDataLen, nullptr, 0)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return cipherCode(softcrypt::macUpdate(*context, inData, inDataLen), CipherFamily::Rc2);
}

int VORN_DAL_CALL VORN_DAL_Rc2MacFinal(void* ctx, unsigned char* mac, unsigned int macLen) {
  Rc2Context* context = contextOf<Rc2Context>(ctx);
  if (const char* refused = args::refusedMac(context, nullptr, 0, mac, macLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return cipherCode(softcrypt::macFinal(*context, mac, macLen), CipherFamily::Rc2);
}

int VORN_DAL_CALL VORN_DAL_Rc2Mac(void* ctx, const unsigned char* inData, unsigned int inDataLen, unsigned char* mac,
                                  unsigned int macLen) {
  Rc2Context* context = contextOf<Rc2Context>(ctx);
  if (const char* refused = args::refusedMac(context, inData, inDataLen, mac, macLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return cipherCode(softcrypt::mac(*context, inData, inDataLen, mac, macLen), CipherFamily::Rc2);
}

// RC4: the IV, mode and option arguments are not read.

int VORN_DAL_CALL VORN_DAL_Rc4AcquireContext(const unsigned char* key, int keyLen, const unsigned char*, int, int,
                                             void** ctxOut) {
  if (const char* refused = args::refusedAcquire(key, keyRead(keyLen), nullptr, 0, ctxOut)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return softcrypt::acquireRc4Context(key, keyLen, ctxOut) == softcrypt::AcquireResult::Ok ? 0 : kRc4AcquireRefused;
}

int VORN_DAL_CALL VORN_DAL_Rc4Update(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                     unsigned char* outData, int* outDataLen) {
  Rc4Context* context = contextOf<Rc4Context>(ctx);
  if (const char* refused = args::refusedUpdate(context, inData, inDataLen, inDataLen != 0, outData, outDataLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  return rc4Code(softcrypt::rc4Update(*context, inData, inDataLen, outData, *outDataLen));
}
int VORN_DAL_CALL VORN_DAL_Rc4Encrypt(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                      unsigned char* outData, int* outDataLen)
    SAME_FUNCTION_AS(VORN_DAL_Rc4Update, 20);

// Writes nothing but the length 0, so outData is not needed.
int VORN_DAL_CALL VORN_DAL_Rc4Final(void* ctx, unsigned char*, int* outDataLen) {
  Rc4Context* context = contextOf<Rc4Context>(ctx);
  if (const char* refused = args::refusedUpdate(context, nullptr, 0, false, nullptr, outDataLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  softcrypt::rc4Final(*context, *outDataLen);
  return 0;
}

}  // extern "C"
