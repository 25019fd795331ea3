#include "softcrypt/context_storage.h"
#include "softcrypt/des_context.h"
#include "softcrypt/rc2_context.h"
#include "softcrypt/rc4_context.h"

namespace softcrypt {

bool releaseSoftContext(void* ctx) noexcept {
  if (auto* des = contextOf<DesContext>(ctx)) {
    destroyContext(des);
    return true;
  }
  if (auto* rc2 = contextOf<Rc2Context>(ctx)) {
    destroyContext(rc2);
    return true;
  }
  if (auto* rc4 = contextOf<Rc4Context>(ctx)) {
    destroyContext(rc4);
    return true;
  }
  return false;
}

}  // namespace softcrypt
