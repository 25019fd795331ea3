#include <openssl/crypto.h>

#include "softcrypt/context_storage.h"
#include "softcrypt/des_context.h"
#include "softcrypt/rc2_context.h"
#include "softcrypt/rc4_context.h"

namespace softcrypt {

namespace {

template <class T>
void destroy(void* ctx) noexcept {
  T* context = static_cast<T*>(ctx);
  OPENSSL_cleanse(context, sizeof(T));
  delete context;
}

}  // namespace

int releaseContext(void* ctx) noexcept {
  if (ctx == nullptr) return 0;
  // The tag is the first member of every context type, so the handle points at it.
  switch (*static_cast<const ContextTag*>(ctx)) {
    case ContextTag::Des:
      destroy<DesContext>(ctx);
      break;
    case ContextTag::Rc2:
      destroy<Rc2Context>(ctx);
      break;
    case ContextTag::Rc4:
      destroy<Rc4Context>(ctx);
      break;
  }
  return 0;
}

}  // namespace softcrypt
