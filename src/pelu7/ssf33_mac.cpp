// SSF33 CBC-MAC exports: a zero start value chained through the context's
// macState over the padded message, whatever the context's mode or IV.
//
// Every update and final opens the device and loads the context's key into
// the card before anything else, also when the call only buffers.
#include "pelu7/connection.h"
#include "pelu7/ssf33_context.h"
#include "pelu7/ssf33_stream.h"

using namespace pelu7;
using softcrypt::StreamResult;

namespace {

Ssf33Context& ssf33(void* ctx) { return *static_cast<Ssf33Context*>(ctx); }

}  // namespace

extern "C" {

int VORN_DAL_CALL VORN_DAL_SSF33MacUpdate(void* ctx, const unsigned char* inData, unsigned int inDataLen) {
  PELU7_OPEN_DEVICE_OR_RETURN();
  Ssf33Context& context = ssf33(ctx);
  PELU7_SSF33_LOAD_KEY_OR_RETURN(context);
  Ssf33BlockCipher cipher(context, macUpdateSites(PELU7_HERE,    // whole blocks, nothing pending
                                                  PELU7_HERE,    // the block completed from pending
                                                  PELU7_HERE));  // whole blocks after it
  return ssf33Code(macStreamOf(context).update(cipher, inData, inDataLen), context.mode);
}

// The final block's result is not kept: the context gives no second MAC.
int VORN_DAL_CALL VORN_DAL_SSF33MacFinal(void* ctx, unsigned char* mac, unsigned int macLen) {
  PELU7_OPEN_DEVICE_OR_RETURN();
  Ssf33Context& context = ssf33(ctx);
  PELU7_SSF33_LOAD_KEY_OR_RETURN(context);
  Ssf33BlockCipher cipher(context, finalSite(PELU7_HERE));
  const StreamResult result = macStreamOf(context).finalize(cipher, mac, macLen);
  if (result == StreamResult::MacLength) PELU7_LOG("******>mac length");
  return ssf33Code(result, context.mode);
}

int VORN_DAL_CALL VORN_DAL_SSF33Mac(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                    unsigned char* mac, unsigned int macLen) {
  int result = VORN_DAL_SSF33MacUpdate(ctx, inData, inDataLen);
  if (result != 0) {
    PELU7_LOG("******>VORN_DAL_SSF33MacUpdate");
    return result;
  }
  result = VORN_DAL_SSF33MacFinal(ctx, mac, macLen);
  if (result != 0) {
    PELU7_LOG("******>VORN_DAL_SSF33MacFinal");
    return result;
  }
  return 0;
}

}  // extern "C"
