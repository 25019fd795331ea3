#include "softcrypt/des_context.h"

#include <cstring>

#include "legacy_primitives.h"
#include "softcrypt/cipher_results.h"

namespace softcrypt {

namespace {

bool isDesKeyLength(int keyLen) noexcept { return keyLen == 8 || keyLen == 16 || keyLen >= 24; }

}  // namespace

AcquireResult acquireDesContext(const unsigned char* key, int keyLen, const unsigned char* iv, int mode, int option,
                                void** ctxOut) noexcept {
  if (ctxOut == nullptr || !isDesKeyLength(keyLen)) return AcquireResult::Refused;
  DesContext* context = allocateContext<DesContext>();
  if (context == nullptr) return AcquireResult::Refused;

  std::memcpy(context->key1, key, 8);
  legacy::desSetKey(context->key1, context->schedule1);
  if (keyLen == 8) {
    context->cipherKind = kSingleDes;
  } else {
    context->cipherKind = kTripleDes;
    std::memcpy(context->key2, key + 8, 8);
    std::memcpy(context->key3, keyLen == 16 ? key : key + 16, 8);
    legacy::desSetKey(context->key2, context->schedule2);
    legacy::desSetKey(context->key3, context->schedule3);
  }
  if (mode == kModeCbc) std::memcpy(context->chainBlock, iv, 8);
  context->mode = mode;
  context->option = option;
  *ctxOut = context;
  return AcquireResult::Ok;
}

void DesBlockCipher::ecbBlock(const unsigned char* in, unsigned char* out, bool encrypt) noexcept {
  if (context_.cipherKind == kSingleDes)
    legacy::desEcb(in, out, context_.schedule1, encrypt);
  else
    legacy::desEcb3(in, out, context_.schedule1, context_.schedule2, context_.schedule3, encrypt);
}

bool DesBlockCipher::run(Direction direction, RunSite, const unsigned char* in, unsigned char* out, std::size_t blocks,
                         ChainUpdate chain) noexcept {
  const bool encrypt = direction == Direction::Encrypt;
  if (context_.mode == kModeEcb) {
    for (std::size_t i = 0; i < blocks; ++i) ecbBlock(in + 8 * i, out + 8 * i, encrypt);
    return true;
  }
  unsigned char scratchChain[8];
  std::memcpy(scratchChain, context_.chainBlock, 8);
  unsigned char(&iv)[8] = chain == ChainUpdate::Store ? context_.chainBlock : scratchChain;
  if (context_.cipherKind == kSingleDes)
    legacy::desCbc(in, out, 8 * blocks, context_.schedule1, iv, encrypt);
  else
    legacy::desEde3Cbc(in, out, 8 * blocks, context_.schedule1, context_.schedule2, context_.schedule3, iv, encrypt);
  return true;
}

bool DesBlockCipher::encipher(MacSite, unsigned char (&block)[8]) noexcept {
  unsigned char input[8];
  std::memcpy(input, block, 8);
  ecbBlock(input, block, true);
  return true;
}

}  // namespace softcrypt
