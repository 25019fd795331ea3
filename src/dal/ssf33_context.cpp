// The SSF33 card commands (80 78, P1 selects the function), the context's
// acquire and release exports.
#include "ssf33_context.h"

#include <openssl/crypto.h>

#include <cstdint>
#include <cstring>
#include <new>

#include "cipher_arguments.h"
#include "connection.h"
#include "transport.h"

namespace pelu7 {
namespace {

using card::kSsf33DecryptHeader;
using card::kSsf33EncryptHeader;
using card::kSsf33LoadKeyHeader;
using card::kSsf33ProbeHeader;

constexpr int kModeCbc = softcrypt::kModeCbc;

}  // namespace

int PELU7_SSF33LoadKey(const Ssf33Context& ctx, LogSite site) {
  CommandApdu load(kSsf33LoadKeyHeader);
  load.append({ctx.key, kSsf33KeySize});
  Response response;
  const int status = exchange(load, response);
  if (status != kSwOk) {
    logStatus("Import SSF33 Key", status, site);
    return cardFailure(VORN_DAL_ERR_SSF33);
  }
  return 0;
}

int PELU7_SSF33Block(Direction direction, const unsigned char* inBlock, unsigned char* outBlock, LogSite site) {
  CommandApdu command(direction == Direction::Encrypt ? Header(kSsf33EncryptHeader) : Header(kSsf33DecryptHeader));
  command.append({inBlock, kSsf33BlockSize});
  Response response;
  int status = exchange(command, response);
  // Fewer bytes than a block under 9000 would leave stale buffer bytes in the
  // result: refused like any other failure.
  if (status == kSwOk && response.length < kSsf33BlockSize) status = kStatusShortAnswer;
  if (status != kSwOk) {
    logStatus("X33Encrypt:", status, site);
    return cardFailure(VORN_DAL_ERR_SSF33);
  }
  std::memcpy(outBlock, response.data, kSsf33BlockSize);
  return 0;
}

bool releaseSsf33Context(void* ctx) noexcept {
  Ssf33Context* context = ssf33ContextOf(ctx);
  if (context == nullptr) return false;
  softcrypt::destroyContext(context);
  return true;
}

int PELU7_SSF33Probe() {
  CommandApdu probe(kSsf33ProbeHeader);
  Response response;
  return exchange(probe, response);
}

}  // namespace pelu7

using namespace pelu7;

extern "C" {

// `keyLen` is not read: the key is always 16 bytes. `iv` is read only in CBC.
// A null key, a null iv in CBC or a null ctxOut is refused with -500 and one
// log line before the card is asked anything.
int VORN_DAL_CALL VORN_DAL_SSF33AcquireContext(const unsigned char* key, int, const unsigned char* iv, int mode,
                                               int option, void** ctxOut) {
  if (int rc = openDevice(); rc != 0) return rc;
  if (const char* refused = cipher_arguments::refusedAcquire(key, true, iv, mode, ctxOut)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  const int status = PELU7_SSF33Probe();
  if (status != kSwOk) {
    logStatus("SSF33 not SUPPORT:", status);
    return VORN_DAL_ERR_NOT_SUPPORTED;
  }
  auto* context = softcrypt::allocateContext<Ssf33Context>();
  if (context == nullptr) return VORN_DAL_ERR_OTHER;
  std::memcpy(context->key, key, kSsf33KeySize);
  if (mode == kModeCbc) std::memcpy(context->chainBlock, iv, kSsf33BlockSize);
  context->mode = mode;
  context->option = option;
  *ctxOut = context;
  return 0;
}

// Frees any cipher context the library made, recognised by its tag, after
// cleansing it; leaves null and unknown handles alone. Always 0.
int VORN_DAL_CALL VORN_DAL_SSF33ReleaseCtx(void* ctx) {
  if (!releaseSsf33Context(ctx)) softcrypt::releaseSoftContext(ctx);
  return 0;
}

}  // extern "C"
