#include "softcrypt/rc4_context.h"

#include <limits>

#include "legacy_primitives.h"
#include "softcrypt/cipher_results.h"

namespace softcrypt {

AcquireResult acquireRc4Context(const unsigned char* key, int keyLen, void** ctxOut) noexcept {
  if (ctxOut == nullptr || keyLen <= 0) return AcquireResult::Refused;
  Rc4Context* context = allocateContext<Rc4Context>();
  if (context == nullptr) return AcquireResult::Refused;
  legacy::rc4SetKey(context->state, key, keyLen);
  *ctxOut = context;
  return AcquireResult::Ok;
}

Rc4Result rc4Update(Rc4Context& context, const unsigned char* in, std::uint32_t inLen, unsigned char* out,
                    int& outLen) noexcept {
  if (inLen > static_cast<std::uint32_t>(std::numeric_limits<int>::max())) return Rc4Result::TooLong;
  if (inLen != 0) legacy::rc4(context.state, inLen, in, out);
  outLen = static_cast<int>(inLen);
  return Rc4Result::Ok;
}

void rc4Final(Rc4Context&, int& outLen) noexcept { outLen = 0; }

}  // namespace softcrypt
