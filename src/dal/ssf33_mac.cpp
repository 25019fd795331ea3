// SSF33 CBC-MAC exports: a zero start value chained through the context's
// macState over the padded message, whatever the context's mode or IV.
//
// Every update and final opens the device, checks its handle and pointers
// (cipher_arguments.h) and loads the context's key into the card before
// anything else, also when it only buffers.
#include "cipher_arguments.h"
#include "connection.h"
#include "ssf33_context.h"
#include "ssf33_stream.h"

using namespace pelu7;
using softcrypt::StreamResult;
namespace args = pelu7::cipher_arguments;

extern "C" {

int VORN_DAL_CALL VORN_DAL_SSF33MacUpdate(void* ctx, const unsigned char* inData, unsigned int inDataLen) {
  if (int rc = openDevice(); rc != 0) return rc;
  Ssf33Context* context = ssf33ContextOf(ctx);
  if (const char* refused = args::refusedMac(context, inData, inDataLen, nullptr, 0)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  if (int rc = PELU7_SSF33LoadKey(*context); rc != 0) return rc;
  // One statement per block site, so that each site logs its own line.
  const LogSite wholeBlocks = LogSite::current();     // whole blocks, nothing pending
  const LogSite completedBlock = LogSite::current();  // the block completed from pending
  const LogSite blocksAfter = LogSite::current();     // whole blocks after it
  Ssf33BlockCipher cipher(*context, macUpdateSites(wholeBlocks, completedBlock, blocksAfter));
  return ssf33Code(macStreamOf(*context).update(cipher, inData, inDataLen), context->mode);
}

// The final block's result is not kept: the context gives no second MAC.
int VORN_DAL_CALL VORN_DAL_SSF33MacFinal(void* ctx, unsigned char* mac, unsigned int macLen) {
  if (int rc = openDevice(); rc != 0) return rc;
  Ssf33Context* context = ssf33ContextOf(ctx);
  if (const char* refused = args::refusedMac(context, nullptr, 0, mac, macLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  if (int rc = PELU7_SSF33LoadKey(*context); rc != 0) return rc;
  Ssf33BlockCipher cipher(*context, finalSite(LogSite::current()));
  const StreamResult result = macStreamOf(*context).finalize(cipher, mac, macLen);
  if (result == StreamResult::MacLength) logText("******>mac length");
  return ssf33Code(result, context->mode);
}

// Both pointers are checked before the update absorbs anything.
int VORN_DAL_CALL VORN_DAL_SSF33Mac(void* ctx, const unsigned char* inData, unsigned int inDataLen,
                                    unsigned char* mac, unsigned int macLen) {
  if (const char* refused = args::refusedMac(ssf33ContextOf(ctx), inData, inDataLen, mac, macLen)) {
    logText(refused);
    return VORN_DAL_ERR_ARGUMENT;
  }
  int result = VORN_DAL_SSF33MacUpdate(ctx, inData, inDataLen);
  if (result != 0) {
    logText("******>VORN_DAL_SSF33MacUpdate");
    return result;
  }
  result = VORN_DAL_SSF33MacFinal(ctx, mac, macLen);
  if (result != 0) {
    logText("******>VORN_DAL_SSF33MacFinal");
    return result;
  }
  return 0;
}

}  // extern "C"
