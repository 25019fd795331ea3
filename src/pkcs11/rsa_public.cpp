#include "pkcs11/rsa_public.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "pkcs11/ck_error.h"
#include "pkcs11/mechanisms.h"

namespace p11 {
namespace {

using BigNumber = std::unique_ptr<BIGNUM, decltype(&BN_clear_free)>;
using ParamBuilder = std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)>;
using Params = std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

BigNumber number(const unsigned char* data, std::size_t length) {
  BigNumber n(BN_bin2bn(data, static_cast<int>(length), nullptr), BN_clear_free);
  require(n != nullptr, CKR_HOST_MEMORY);
  return n;
}

KeyContext contextFor(EVP_PKEY* key) {
  KeyContext context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr), EVP_PKEY_CTX_free);
  require(context != nullptr, CKR_HOST_MEMORY);
  return context;
}

Bytes leftPadded(const Bytes& data) {
  require(data.size() <= kModulusBytes, CKR_DATA_LEN_RANGE);
  Bytes out(kModulusBytes - data.size(), 0);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

}  // namespace

PublicKey makePublicKey(const Bytes& modulus, const Bytes& exponent) {
  BigNumber n = number(modulus.data(), modulus.size());
  BigNumber e = number(exponent.data(), exponent.size());
  ParamBuilder builder(OSSL_PARAM_BLD_new(), OSSL_PARAM_BLD_free);
  require(builder != nullptr, CKR_HOST_MEMORY);
  require(OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) == 1 &&
              OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) == 1,
          CKR_HOST_MEMORY);
  Params params(OSSL_PARAM_BLD_to_param(builder.get()), OSSL_PARAM_free);
  KeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), EVP_PKEY_CTX_free);
  require(params != nullptr && context != nullptr, CKR_HOST_MEMORY);
  EVP_PKEY* key = nullptr;
  require(EVP_PKEY_fromdata_init(context.get()) == 1 &&
              EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) == 1,
          CKR_KEY_HANDLE_INVALID);
  return PublicKey(key, EVP_PKEY_free);
}

Bytes subjectPublicKeyInfo(const Bytes& modulus, const Bytes& exponent) {
  PublicKey key = makePublicKey(modulus, exponent);
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(key.get(), &der);
  require(length > 0, CKR_HOST_MEMORY);
  Bytes out(der, der + length);
  OPENSSL_free(der);
  return out;
}

bool verifyPkcs1(EVP_PKEY* key, const EVP_MD* md, const Bytes& data, const Bytes& signature) {
  KeyContext context = contextFor(key);
  if (EVP_PKEY_verify_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
      (md != nullptr && EVP_PKEY_CTX_set_signature_md(context.get(), md) != 1)) {
    return false;
  }
  return EVP_PKEY_verify(context.get(), signature.data(), signature.size(), data.data(), data.size()) == 1;
}

bool verifyRaw(EVP_PKEY* key, const Bytes& data, const Bytes& signature) {
  if (data.size() > kModulusBytes || signature.size() != kModulusBytes) return false;
  KeyContext context = contextFor(key);
  unsigned char recovered[kModulusBytes];
  std::size_t length = sizeof recovered;
  if (EVP_PKEY_verify_recover_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_NO_PADDING) != 1 ||
      EVP_PKEY_verify_recover(context.get(), recovered, &length, signature.data(), signature.size()) != 1) {
    return false;
  }
  return Bytes(recovered, recovered + length) == leftPadded(data);
}

bool verifyPss(EVP_PKEY* key, const PssParameters& pss, const Bytes& digest, const Bytes& signature) {
  KeyContext context = contextFor(key);
  if (EVP_PKEY_verify_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PSS_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(context.get(), pss.hash) != 1 ||
      EVP_PKEY_CTX_set_rsa_mgf1_md(context.get(), pss.mgf1) != 1 ||
      EVP_PKEY_CTX_set_rsa_pss_saltlen(context.get(), static_cast<int>(pss.saltLength)) != 1) {
    return false;
  }
  return EVP_PKEY_verify(context.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
}

Bytes encryptPkcs1(EVP_PKEY* key, const Bytes& data) {
  require(data.size() + 11 <= kModulusBytes, CKR_DATA_LEN_RANGE);
  KeyContext context = contextFor(key);
  Bytes out(kModulusBytes);
  std::size_t length = out.size();
  require(EVP_PKEY_encrypt_init(context.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_encrypt(context.get(), out.data(), &length, data.data(), data.size()) == 1,
          CKR_FUNCTION_FAILED);
  out.resize(length);
  return out;
}

Bytes encryptRaw(EVP_PKEY* key, const Bytes& data) {
  const Bytes block = leftPadded(data);
  KeyContext context = contextFor(key);
  Bytes out(kModulusBytes);
  std::size_t length = out.size();
  require(EVP_PKEY_encrypt_init(context.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_NO_PADDING) == 1,
          CKR_FUNCTION_FAILED);
  // OpenSSL refuses a block that is not below the modulus.
  require(EVP_PKEY_encrypt(context.get(), out.data(), &length, block.data(), block.size()) == 1, CKR_DATA_INVALID);
  out.resize(length);
  return out;
}

}  // namespace p11
