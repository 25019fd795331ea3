// SSF33 CBC-MAC exports: a zero start value chained through the context's
// macState over the padded message, whatever the context's mode or IV.
//
// Every update and final opens the device, checks its handle and pointers
// (cipher_arguments.h) and loads the context's key into the card before
// anything else, also when it only buffers.
#include "pelu7/cipher_arguments.h"
#include "pelu7/connection.h"
#include "pelu7/ssf33_context.h"
#include "pelu7/ssf33_stream.h"

using namespace pelu7;
using softcrypt::StreamResult;
namespace args = pelu7::cipher_arguments;

extern "C" {

int VORN_DAL_CALL VORN_DAL_SSF33MacUpdate(void* ctx, const unsigned char* inData, unsigned int inDataLen) {
  PELU7_OPEN_DEVICE_OR_RETURN();
  Ssf33Context* context = ssf33ContextOf(ctx);
  if (const char* refused = args::refusedMac(context, inData, inDataLen, nullptr, 0)) {
    PELU7_LOG(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  PELU7_SSF33_LOAD_KEY_OR_RETURN(*context);
  Ssf33BlockCipher cipher(*context, macUpdateSites(PELU7_HERE,    // whole blocks, nothing pending
                                                   PELU7_HERE,    // the block completed from pending
                                                   PELU7_HERE));  // whole blocks after it
  return ssf33Code(macStreamOf(*context).update(cipher, inData, inDataLen), context->mode);
}

// The final block's result is not kept: the context gives no second MAC.
int VORN_DAL_CALL VORN_DAL_SSF33MacFinal(void* ctx, unsigned char* mac, unsigned int macLen) {
  PELU7_OPEN_DEVICE_OR_RETURN();
  Ssf33Context* context = ssf33ContextOf(ctx);
  if (const char* refused = args::refusedMac(context, nullptr, 0, mac, macLen)) {
    PELU7_LOG(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  PELU7_SSF33_LOAD_KEY_OR_RETURN(*context);
  Ssf33BlockCipher cipher(*context, finalSite(PELU7_HERE));
  const StreamResult result = macStreamOf(*context).finalize(cipher, mac, macLen);
  if (result == StreamResult::MacLength) PELU7_LOG("******>mac length");
  return ssf33Code(result, context->mode);
}

// Both pointers are checked before the update absorbs anything.
int VORN_DAL_CALL VORN_DAL_SSF33Mac(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                    unsigned char* mac, unsigned int macLen) {
  if (const char* refused = args::refusedMac(ssf33ContextOf(ctx), inData, inDataLen, mac, macLen)) {
    PELU7_LOG(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
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
