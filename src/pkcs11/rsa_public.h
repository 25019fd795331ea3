// The public-key side in software over OpenSSL: verification, encryption and
// the SubjectPublicKeyInfo of a key given by its modulus and exponent.
#pragma once

#include <openssl/evp.h>

#include <memory>

#include "pkcs11/secure_bytes.h"

namespace p11 {

using PublicKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// CKR_KEY_HANDLE_INVALID when the numbers do not make a key.
PublicKey makePublicKey(const Bytes& modulus, const Bytes& exponent);
Bytes subjectPublicKeyInfo(const Bytes& modulus, const Bytes& exponent);

struct PssParameters {
  const EVP_MD* hash = nullptr;
  const EVP_MD* mgf1 = nullptr;
  std::size_t saltLength = 0;
};

// Verification of a PKCS#1 v1.5 signature over data: with md, data is a
// digest made with md; without, data is what the signer padded (a
// DigestInfo, or anything for CKM_RSA_PKCS).
bool verifyPkcs1(EVP_PKEY* key, const EVP_MD* md, const Bytes& data, const Bytes& signature);
// Raw verification: signature^e mod n equals data left-padded with zeros.
bool verifyRaw(EVP_PKEY* key, const Bytes& data, const Bytes& signature);
bool verifyPss(EVP_PKEY* key, const PssParameters& pss, const Bytes& digest, const Bytes& signature);

// PKCS#1 v1.5 (type 2) encryption, and raw encryption of data below n.
Bytes encryptPkcs1(EVP_PKEY* key, const Bytes& data);
Bytes encryptRaw(EVP_PKEY* key, const Bytes& data);

}  // namespace p11
