// Message digests (SHA-1 and SHA-2) computed in software over OpenSSL; the
// card has no hash of its own. The operation rules are those of the other
// operations: one digest at a time per session, a failure ends it, a size
// query or a too-small buffer leaves it for the real call.
#include <cstring>

#include "ck_error.h"
#include "crypto_calls.h"

namespace p11 {
namespace {

std::shared_ptr<EVP_MD_CTX> newContext() {
  std::shared_ptr<EVP_MD_CTX> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  require(context != nullptr, CKR_HOST_MEMORY);
  return context;
}

DigestOperation& activeDigest(Session& session) {
  require(session.digest.has_value(), CKR_OPERATION_NOT_INITIALIZED);
  return *session.digest;
}

// Runs a step of the active digest; any failure ends the operation.
template <class Step>
CK_RV endingOnFailure(Session& session, Step&& step) {
  try {
    return step(activeDigest(session));
  } catch (...) {
    session.digest.reset();
    throw;
  }
}

void update(DigestOperation& operation, const unsigned char* part, CK_ULONG length) {
  require(part != nullptr || length == 0, CKR_ARGUMENTS_BAD);
  require(length == 0 || EVP_DigestUpdate(operation.context.get(), part, length) == 1, CKR_FUNCTION_FAILED);
}

}  // namespace

CK_RV digestInit(CK_SESSION_HANDLE handle, const CK_MECHANISM* mechanism) {
  Session& session = sessionByHandle(handle);
  require(mechanism != nullptr, CKR_ARGUMENTS_BAD);
  require(!session.digest.has_value(), CKR_OPERATION_ACTIVE);
  const Mechanism* found = findMechanism(mechanism->mechanism);
  require(found != nullptr && isDigest(*found), CKR_MECHANISM_INVALID);
  require(mechanism->pParameter == nullptr && mechanism->ulParameterLen == 0, CKR_MECHANISM_PARAM_INVALID);
  DigestOperation operation{newContext(), false};
  require(EVP_DigestInit_ex(operation.context.get(), found->digest(), nullptr) == 1, CKR_FUNCTION_FAILED);
  session.digest = std::move(operation);
  return CKR_OK;
}

CK_RV digestUpdate(CK_SESSION_HANDLE handle, const unsigned char* part, CK_ULONG length) {
  Session& session = sessionByHandle(handle);
  return endingOnFailure(session, [&](DigestOperation& operation) {
    update(operation, part, length);
    operation.updated = true;
    return CKR_OK;
  });
}

// Only the value of a secret key can be digested, and this token holds none:
// its RSA keys are refused as indigestible.
CK_RV digestKey(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE key) {
  Session& session = sessionByHandle(handle);
  return endingOnFailure(session, [&](DigestOperation&) -> CK_RV {
    visibleObject(session, key);
    fail(CKR_KEY_INDIGESTIBLE);
  });
}

CK_RV digestFinish(CK_SESSION_HANDLE handle, const unsigned char* data, CK_ULONG length, unsigned char* out,
                   CK_ULONG* outLength, bool oneShot) {
  Session& session = sessionByHandle(handle);
  const CK_RV rv = endingOnFailure(session, [&](DigestOperation& operation) {
    require(outLength != nullptr, CKR_ARGUMENTS_BAD);
    require(!(oneShot && operation.updated), CKR_OPERATION_ACTIVE);
    const auto size = static_cast<CK_ULONG>(EVP_MD_CTX_get_size(operation.context.get()));
    if (out == nullptr || *outLength < size) {
      const CK_RV answer = out == nullptr ? CKR_OK : CKR_BUFFER_TOO_SMALL;
      *outLength = size;
      return answer;
    }
    if (oneShot) update(operation, data, length);
    unsigned int written = 0;
    require(EVP_DigestFinal_ex(operation.context.get(), out, &written) == 1, CKR_FUNCTION_FAILED);
    *outLength = written;
    return CKR_OK;
  });
  // The digest is given: the operation is over (a size query keeps it).
  if (rv == CKR_OK && out != nullptr) session.digest.reset();
  return rv;
}

}  // namespace p11
