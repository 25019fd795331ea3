#include "softcrypt/rc2_context.h"

#include <cstring>

#include "legacy_primitives.h"
#include "softcrypt/cipher_results.h"

namespace softcrypt {

namespace {

constexpr int kMaxKeyBytes = 128;
constexpr int kMaxEffectiveBits = 1024;

}  // namespace

AcquireResult acquireRc2Context(const unsigned char* key, int keyLen, const unsigned char* iv, int mode, int option,
                                void** ctxOut) noexcept {
  if (ctxOut == nullptr || keyLen <= 0) return AcquireResult::Refused;
  Rc2Context* context = allocateContext<Rc2Context>();
  if (context == nullptr) return AcquireResult::Refused;

  const int keyBytes = keyLen < kMaxKeyBytes ? keyLen : kMaxKeyBytes;
  legacy::rc2SetKey(context->schedule, key, keyBytes,
                    keyBytes * 8 < kMaxEffectiveBits ? keyBytes * 8 : kMaxEffectiveBits);
  if (mode == kModeCbc) std::memcpy(context->chainBlock, iv, 8);
  context->mode = mode;
  context->option = option;
  *ctxOut = context;
  return AcquireResult::Ok;
}

bool Rc2BlockCipher::run(Direction direction, RunSite, const unsigned char* in, unsigned char* out, std::size_t blocks,
                         ChainUpdate chain) noexcept {
  const bool encrypt = direction == Direction::Encrypt;
  if (context_.mode == kModeEcb) {
    for (std::size_t i = 0; i < blocks; ++i) legacy::rc2Ecb(in + 8 * i, out + 8 * i, context_.schedule, encrypt);
    return true;
  }
  unsigned char scratchChain[8];
  std::memcpy(scratchChain, context_.chainBlock, 8);
  unsigned char(&iv)[8] = chain == ChainUpdate::Store ? context_.chainBlock : scratchChain;
  legacy::rc2Cbc(in, out, 8 * blocks, context_.schedule, iv, encrypt);
  return true;
}

bool Rc2BlockCipher::encipher(MacSite, unsigned char (&block)[8]) noexcept {
  unsigned char input[8];
  std::memcpy(input, block, 8);
  legacy::rc2Ecb(input, block, context_.schedule, true);
  return true;
}

}  // namespace softcrypt
