// The public-key side in software: verification, encryption and the
// SubjectPublicKeyInfo of a 1024-bit key given by its modulus and exponent.
// Computed with OpenSSL's big numbers and the module's own encodings, never
// through EVP key objects: an application that makes an engine the default
// for RSA (openssl -engine pkcs11, which may load this very module) would
// otherwise take these operations over.
#pragma once

#include <openssl/evp.h>

#include "bytes.h"

namespace p11 {

struct RsaPublicKey {
  Bytes modulus;   // 128 bytes
  Bytes exponent;
};

struct PssParameters {
  const EVP_MD* hash = nullptr;
  const EVP_MD* mgf1 = nullptr;
  std::size_t saltLength = 0;
};

struct OaepParameters {
  const EVP_MD* hash = nullptr;
  const EVP_MD* mgf1 = nullptr;
  Bytes label;
};

Bytes subjectPublicKeyInfo(const RsaPublicKey& key);

// Whether output is the private-key operation of key on input
// (output^e mod n == input): a result of the card is checked with it before
// it is given out. Secret blocks are cleared from the big numbers.
bool isPrivateResult(const RsaPublicKey& key, const SecureBytes& input, const SecureBytes& output);

// Verification of a PKCS#1 v1.5 signature over data: with md, data is a
// digest made with md; without, data is what the signer padded.
bool verifyPkcs1(const RsaPublicKey& key, const EVP_MD* md, const Bytes& data, const Bytes& signature);
// Raw verification: signature^e mod n equals data left-padded with zeros.
bool verifyRaw(const RsaPublicKey& key, const Bytes& data, const Bytes& signature);
bool verifyPss(const RsaPublicKey& key, const PssParameters& pss, const Bytes& digest, const Bytes& signature);

// PKCS#1 v1.5 (type 2) encryption, and raw encryption of data below n.
Bytes encryptPkcs1(const RsaPublicKey& key, const Bytes& data);
Bytes encryptRaw(const RsaPublicKey& key, const Bytes& data);
// RSAES-OAEP encryption; CKR_DATA_LEN_RANGE when data does not fit.
Bytes encryptOaep(const RsaPublicKey& key, const OaepParameters& oaep, const Bytes& data);

}  // namespace p11
