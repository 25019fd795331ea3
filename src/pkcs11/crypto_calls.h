// The cryptographic calls behind the C_* entry points. Private-key work goes
// to the card's raw RSA operation with the padding made here; public-key work
// is done in software.
#pragma once

#include "module_state.h"
#include "pkcs11_api.h"

namespace p11 {

// Operations (operations.cpp).
CK_RV operationInit(CK_SESSION_HANDLE handle, OperationKind kind, const CK_MECHANISM* mechanism,
                    CK_OBJECT_HANDLE key);
CK_RV operationUpdate(CK_SESSION_HANDLE handle, OperationKind kind, const unsigned char* part, CK_ULONG length);
// One-shot (data given) or final (data null and length 0 after updates):
// writes the output with the usual size-query rules.
CK_RV operationFinish(CK_SESSION_HANDLE handle, OperationKind kind, const unsigned char* data, CK_ULONG length,
                      unsigned char* out, CK_ULONG* outLength, bool oneShot);
CK_RV verifyFinish(CK_SESSION_HANDLE handle, const unsigned char* data, CK_ULONG length,
                   const unsigned char* signature, CK_ULONG signatureLength, bool oneShot);

// Message digests in software (digests.cpp).
CK_RV digestInit(CK_SESSION_HANDLE handle, const CK_MECHANISM* mechanism);
CK_RV digestUpdate(CK_SESSION_HANDLE handle, const unsigned char* part, CK_ULONG length);
CK_RV digestKey(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE key);
// One-shot (data given) or final, with the usual size-query rules.
CK_RV digestFinish(CK_SESSION_HANDLE handle, const unsigned char* data, CK_ULONG length, unsigned char* out,
                   CK_ULONG* outLength, bool oneShot);

// Keys and random numbers (key_generation.cpp).
CK_RV generateKeyPair(CK_SESSION_HANDLE handle, const CK_MECHANISM* mechanism, const CK_ATTRIBUTE* publicTemplate,
                      CK_ULONG publicCount, const CK_ATTRIBUTE* privateTemplate, CK_ULONG privateCount,
                      CK_OBJECT_HANDLE* publicKey, CK_OBJECT_HANDLE* privateKey);
CK_OBJECT_HANDLE importKeyPair(Session& session, const Template& pattern);
CK_RV generateRandom(CK_SESSION_HANDLE handle, unsigned char* out, CK_ULONG length);

// The card's raw private-key operation on a 128-byte block, with this
// application's login required and a lost card login noticed.
SecureBytes privateKeyOperation(const Session& session, const Object& key, const SecureBytes& block);

}  // namespace p11
