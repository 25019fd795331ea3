// Entry points for signing, verification, encryption, decryption, keys and
// random numbers.
#include "crypto_calls.h"
#include "entry_guard.h"
#include "export.h"

using namespace p11;

extern "C" {

P11_EXPORT CK_RV C_SignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  return withModule([&] { return operationInit(session, OperationKind::Sign, mechanism, key); });
}

P11_EXPORT CK_RV C_Sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR signature,
                        CK_ULONG_PTR signatureLength) {
  return withModule(
      [&] { return operationFinish(session, OperationKind::Sign, data, length, signature, signatureLength, true); });
}

P11_EXPORT CK_RV C_SignUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG length) {
  return withModule([&] { return operationUpdate(session, OperationKind::Sign, part, length); });
}

P11_EXPORT CK_RV C_SignFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR signature, CK_ULONG_PTR signatureLength) {
  return withModule(
      [&] { return operationFinish(session, OperationKind::Sign, nullptr, 0, signature, signatureLength, false); });
}

P11_EXPORT CK_RV C_VerifyInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  return withModule([&] { return operationInit(session, OperationKind::Verify, mechanism, key); });
}

P11_EXPORT CK_RV C_Verify(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR signature,
                          CK_ULONG signatureLength) {
  return withModule([&] { return verifyFinish(session, data, length, signature, signatureLength, true); });
}

P11_EXPORT CK_RV C_VerifyUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG length) {
  return withModule([&] { return operationUpdate(session, OperationKind::Verify, part, length); });
}

P11_EXPORT CK_RV C_VerifyFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR signature, CK_ULONG signatureLength) {
  return withModule([&] { return verifyFinish(session, nullptr, 0, signature, signatureLength, false); });
}

P11_EXPORT CK_RV C_EncryptInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  return withModule([&] { return operationInit(session, OperationKind::Encrypt, mechanism, key); });
}

P11_EXPORT CK_RV C_Encrypt(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
                           CK_ULONG_PTR outLength) {
  return withModule(
      [&] { return operationFinish(session, OperationKind::Encrypt, data, length, out, outLength, true); });
}

P11_EXPORT CK_RV C_EncryptUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG length, CK_BYTE_PTR,
                                 CK_ULONG_PTR) {
  return withModule([&] { return operationUpdate(session, OperationKind::Encrypt, part, length); });
}

P11_EXPORT CK_RV C_EncryptFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG_PTR) {
  return withModule([&] { return operationUpdate(session, OperationKind::Encrypt, nullptr, 0); });
}

P11_EXPORT CK_RV C_DecryptInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  return withModule([&] { return operationInit(session, OperationKind::Decrypt, mechanism, key); });
}

P11_EXPORT CK_RV C_Decrypt(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
                           CK_ULONG_PTR outLength) {
  return withModule(
      [&] { return operationFinish(session, OperationKind::Decrypt, data, length, out, outLength, true); });
}

P11_EXPORT CK_RV C_DecryptUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG length, CK_BYTE_PTR,
                                 CK_ULONG_PTR) {
  return withModule([&] { return operationUpdate(session, OperationKind::Decrypt, part, length); });
}

P11_EXPORT CK_RV C_DecryptFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG_PTR) {
  return withModule([&] { return operationUpdate(session, OperationKind::Decrypt, nullptr, 0); });
}

P11_EXPORT CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism,
                                   CK_ATTRIBUTE_PTR publicTemplate, CK_ULONG publicCount,
                                   CK_ATTRIBUTE_PTR privateTemplate, CK_ULONG privateCount,
                                   CK_OBJECT_HANDLE_PTR publicKey, CK_OBJECT_HANDLE_PTR privateKey) {
  return withModule([&] {
    return generateKeyPair(session, mechanism, publicTemplate, publicCount, privateTemplate, privateCount, publicKey,
                           privateKey);
  });
}

P11_EXPORT CK_RV C_GenerateRandom(CK_SESSION_HANDLE session, CK_BYTE_PTR out, CK_ULONG length) {
  return withModule([&] { return generateRandom(session, out, length); });
}

// The card's generator takes no seed.
P11_EXPORT CK_RV C_SeedRandom(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG) {
  return withModule([&] {
    sessionByHandle(session);
    return CKR_RANDOM_SEED_NOT_SUPPORTED;
  });
}

}  // extern "C"
