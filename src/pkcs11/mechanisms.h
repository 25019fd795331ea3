// The mechanisms the module offers: only those that work on this token's
// 1024-bit RSA keys, every one built on the card's raw private-key operation,
// and message digests computed in software.
#pragma once

#include <openssl/evp.h>

#include <span>

#include "pkcs11_api.h"

namespace p11 {

constexpr CK_ULONG kModulusBits = 1024;
constexpr std::size_t kModulusBytes = kModulusBits / 8;

enum class Padding { None, KeyGeneration, Pkcs1, Raw, Pss, Oaep };

struct Mechanism {
  CK_MECHANISM_TYPE type;
  CK_FLAGS flags;
  Padding padding;
  const EVP_MD* (*digest)();  // hashed by the module first; nullptr when the caller hashes
};

std::span<const Mechanism> mechanisms();
// Digests take no key: their mechanism information gives no key sizes.
inline bool isDigest(const Mechanism& mechanism) { return (mechanism.flags & CKF_DIGEST) != 0; }
// nullptr for a mechanism the module does not offer.
const Mechanism* findMechanism(CK_MECHANISM_TYPE type);
// The digest of a CKM_SHA* hash mechanism (PSS parameters), or nullptr.
const EVP_MD* digestOfHashMechanism(CK_MECHANISM_TYPE type);
// The digest of a CKG_MGF1_* generator, or nullptr.
const EVP_MD* digestOfMgf(CK_RSA_PKCS_MGF_TYPE mgf);

}  // namespace p11
