#include "mechanisms.h"

namespace p11 {
namespace {

constexpr CK_FLAGS kSignVerify = CKF_HW | CKF_SIGN | CKF_VERIFY;
constexpr CK_FLAGS kAll = kSignVerify | CKF_ENCRYPT | CKF_DECRYPT;

// SHA512_RSA_PKCS_PSS is left out: a SHA-512 hash and a salt of its length
// do not fit the 128-byte encoded message of a 1024-bit key.
constexpr Mechanism kMechanisms[] = {
    {CKM_RSA_PKCS_KEY_PAIR_GEN, CKF_HW | CKF_GENERATE_KEY_PAIR, Padding::KeyGeneration, nullptr},
    {CKM_RSA_PKCS, kAll, Padding::Pkcs1, nullptr},
    {CKM_RSA_X_509, kAll, Padding::Raw, nullptr},
    {CKM_RSA_PKCS_OAEP, CKF_HW | CKF_ENCRYPT | CKF_DECRYPT, Padding::Oaep, nullptr},
    {CKM_SHA1_RSA_PKCS, kSignVerify, Padding::Pkcs1, EVP_sha1},
    {CKM_SHA224_RSA_PKCS, kSignVerify, Padding::Pkcs1, EVP_sha224},
    {CKM_SHA256_RSA_PKCS, kSignVerify, Padding::Pkcs1, EVP_sha256},
    {CKM_SHA384_RSA_PKCS, kSignVerify, Padding::Pkcs1, EVP_sha384},
    {CKM_SHA512_RSA_PKCS, kSignVerify, Padding::Pkcs1, EVP_sha512},
    {CKM_RSA_PKCS_PSS, kSignVerify, Padding::Pss, nullptr},
    {CKM_SHA1_RSA_PKCS_PSS, kSignVerify, Padding::Pss, EVP_sha1},
    {CKM_SHA224_RSA_PKCS_PSS, kSignVerify, Padding::Pss, EVP_sha224},
    {CKM_SHA256_RSA_PKCS_PSS, kSignVerify, Padding::Pss, EVP_sha256},
    {CKM_SHA384_RSA_PKCS_PSS, kSignVerify, Padding::Pss, EVP_sha384},
    {CKM_SHA_1, CKF_DIGEST, Padding::None, EVP_sha1},
    {CKM_SHA224, CKF_DIGEST, Padding::None, EVP_sha224},
    {CKM_SHA256, CKF_DIGEST, Padding::None, EVP_sha256},
    {CKM_SHA384, CKF_DIGEST, Padding::None, EVP_sha384},
    {CKM_SHA512, CKF_DIGEST, Padding::None, EVP_sha512},
};

struct DigestPair {
  CK_ULONG hash;
  CK_ULONG mgf;
  const EVP_MD* (*digest)();
};

constexpr DigestPair kDigests[] = {
    {CKM_SHA_1, CKG_MGF1_SHA1, EVP_sha1},       {CKM_SHA224, CKG_MGF1_SHA224, EVP_sha224},
    {CKM_SHA256, CKG_MGF1_SHA256, EVP_sha256}, {CKM_SHA384, CKG_MGF1_SHA384, EVP_sha384},
    {CKM_SHA512, CKG_MGF1_SHA512, EVP_sha512},
};

}  // namespace

std::span<const Mechanism> mechanisms() { return kMechanisms; }

const Mechanism* findMechanism(CK_MECHANISM_TYPE type) {
  for (const auto& mechanism : kMechanisms) {
    if (mechanism.type == type) return &mechanism;
  }
  return nullptr;
}

const EVP_MD* digestOfHashMechanism(CK_MECHANISM_TYPE type) {
  for (const auto& pair : kDigests) {
    if (pair.hash == type) return pair.digest();
  }
  return nullptr;
}

const EVP_MD* digestOfMgf(CK_RSA_PKCS_MGF_TYPE mgf) {
  for (const auto& pair : kDigests) {
    if (pair.mgf == mgf) return pair.digest();
  }
  return nullptr;
}

}  // namespace p11
