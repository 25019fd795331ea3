#include "rsa_formats.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "common/digest_info.h"
#include "tool_errors.h"

namespace pelu7tool {
namespace {

using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;
using BnPtr = std::unique_ptr<BIGNUM, decltype(&BN_clear_free)>;
using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;
using ParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)>;
using ParamPtr = std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)>;

constexpr unsigned long kPublicExponent = 65537;
constexpr int kModulusBits = 1024;

PkeyPtr publicKey(std::span<const std::uint8_t, kModulusBytes> modulus) {
  BnPtr n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr), BN_clear_free);
  BnPtr e(BN_new(), BN_clear_free);
  ParamBldPtr builder(OSSL_PARAM_BLD_new(), OSSL_PARAM_BLD_free);
  if (!n || !e || !builder || BN_set_word(e.get(), kPublicExponent) != 1 ||
      OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1) {
    throw ToolError("cannot build the public key");
  }
  ParamPtr params(OSSL_PARAM_BLD_to_param(builder.get()), OSSL_PARAM_free);
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), EVP_PKEY_CTX_free);
  EVP_PKEY* key = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    throw ToolError("cannot build the public key");
  }
  return PkeyPtr(key, EVP_PKEY_free);
}

PkeyPtr readPrivateKey(const std::string& path) {
  BioPtr bio(BIO_new_file(path.c_str(), "rb"), BIO_free);
  if (!bio) throw ToolError("cannot open key file " + path);
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
  if (key == nullptr) {
    bio.reset(BIO_new_file(path.c_str(), "rb"));
    if (bio) key = d2i_PrivateKey_bio(bio.get(), nullptr);
  }
  if (key == nullptr) throw ToolError(path + " holds no private key in PEM or DER");
  return PkeyPtr(key, EVP_PKEY_free);
}

// One component as a big-endian number of exactly out.size() bytes.
void component(const EVP_PKEY* key, const char* name, SecureBytes& out) {
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) throw ToolError(std::string("the key has no ") + name);
  BnPtr value(raw, BN_clear_free);
  if (BN_bn2binpad(value.get(), out.data(), lengthOf(out)) != lengthOf(out)) {
    throw ToolError(std::string("the key's ") + name + " does not fit a 1024-bit key");
  }
}

}  // namespace

Bytes publicKeyDer(std::span<const std::uint8_t, kModulusBytes> modulus) {
  const PkeyPtr key = publicKey(modulus);
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(key.get(), &der);
  if (length <= 0) throw ToolError("cannot encode the public key");
  Bytes out(der, der + length);
  OPENSSL_free(der);
  return out;
}

std::string publicKeyPem(std::span<const std::uint8_t, kModulusBytes> modulus) {
  const PkeyPtr key = publicKey(modulus);
  BioPtr bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || PEM_write_bio_PUBKEY(bio.get(), key.get()) != 1) throw ToolError("cannot encode the public key");
  char* text = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &text);
  return std::string(text, static_cast<std::size_t>(length));
}

void loadRsaPrivateKey(const std::string& path, RsaKeyComponents& out) {
  const PkeyPtr key = readPrivateKey(path);
  if (EVP_PKEY_is_a(key.get(), "RSA") != 1) throw ToolError(path + " is not an RSA key");
  if (EVP_PKEY_get_bits(key.get()) != kModulusBits) {
    throw ToolError(path + " is a " + std::to_string(EVP_PKEY_get_bits(key.get())) +
                    "-bit key; the token takes 1024-bit keys only");
  }
  BIGNUM* rawE = nullptr;
  if (EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_E, &rawE) != 1) throw ToolError("the key has no exponent");
  const BnPtr e(rawE, BN_clear_free);
  if (!BN_is_word(e.get(), kPublicExponent)) throw ToolError("the token uses the public exponent 65537 only");
  component(key.get(), OSSL_PKEY_PARAM_RSA_N, out.n);
  component(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, out.p);
  component(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, out.q);
  component(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, out.dP);
  component(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, out.dQ);
  component(key.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, out.qInv);
}

Bytes sha256DigestInfo(const std::string& path) {
  const Bytes message = readFile(path);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  if (EVP_Digest(message.data(), message.size(), digest, &digestLength, EVP_sha256(), nullptr) != 1) {
    throw ToolError("cannot compute SHA-256");
  }
  const std::span<const std::uint8_t> prefix = common::digestInfoPrefix(NID_sha256);
  Bytes info(prefix.size() + digestLength);
  std::memcpy(info.data(), prefix.data(), prefix.size());
  std::memcpy(info.data() + prefix.size(), digest, digestLength);
  return info;
}

DigestBlock pkcs1SignatureBlock(std::span<const std::uint8_t> digestInfo) {
  DigestBlock block{};
  const std::size_t paddingEnd = block.size() - digestInfo.size() - 1;
  block[0] = 0x00;
  block[1] = 0x01;
  std::fill(block.begin() + 2, block.begin() + static_cast<std::ptrdiff_t>(paddingEnd), 0xFF);
  block[paddingEnd] = 0x00;
  std::copy(digestInfo.begin(), digestInfo.end(), block.begin() + static_cast<std::ptrdiff_t>(paddingEnd) + 1);
  return block;
}

}  // namespace pelu7tool
