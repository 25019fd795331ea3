#include "rsa_public.h"

#include <openssl/bn.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "ck_error.h"
#include "mechanisms.h"
#include "rsa_padding.h"

namespace p11 {
namespace {

using BigNumber = std::unique_ptr<BIGNUM, decltype(&BN_free)>;
using BigNumberContext = std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)>;

BigNumber number(const Bytes& value) {
  BigNumber n(BN_bin2bn(value.data(), static_cast<int>(value.size()), nullptr), BN_free);
  require(n != nullptr, CKR_HOST_MEMORY);
  return n;
}

// input^e mod n as a modulus-length block; nullopt when input is not below n.
std::optional<Bytes> publicOperation(const RsaPublicKey& key, const Bytes& input) {
  require(key.modulus.size() == kModulusBytes, CKR_KEY_SIZE_RANGE);
  if (input.size() != kModulusBytes || !(input < key.modulus)) return std::nullopt;
  BigNumber n = number(key.modulus), e = number(key.exponent), x = number(input);
  BigNumber result(BN_new(), BN_free);
  BigNumberContext context(BN_CTX_new(), BN_CTX_free);
  require(result != nullptr && context != nullptr, CKR_HOST_MEMORY);
  require(BN_mod_exp(result.get(), x.get(), e.get(), n.get(), context.get()) == 1, CKR_FUNCTION_FAILED);
  Bytes out(kModulusBytes);
  require(BN_bn2binpad(result.get(), out.data(), static_cast<int>(out.size())) == static_cast<int>(out.size()),
          CKR_FUNCTION_FAILED);
  return out;
}

Bytes leftPadded(const Bytes& data) {
  require(data.size() <= kModulusBytes, CKR_DATA_LEN_RANGE);
  Bytes out(kModulusBytes - data.size(), 0);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Bytes asBytes(const SecureBytes& block) { return Bytes(block.data(), block.data() + block.size()); }

// DER: a tag and its definite length.
void putHeader(Bytes& out, unsigned char tag, std::size_t length) {
  out.push_back(tag);
  if (length < 0x80) {
    out.push_back(static_cast<unsigned char>(length));
  } else if (length < 0x100) {
    out.push_back(0x81);
    out.push_back(static_cast<unsigned char>(length));
  } else {
    out.push_back(0x82);
    out.push_back(static_cast<unsigned char>(length >> 8));
    out.push_back(static_cast<unsigned char>(length));
  }
}

Bytes derInteger(const Bytes& value) {
  Bytes digits(std::find_if(value.begin(), value.end(), [](unsigned char b) { return b != 0; }), value.end());
  if (digits.empty() || digits[0] >= 0x80) digits.insert(digits.begin(), 0x00);
  Bytes out;
  putHeader(out, 0x02, digits.size());
  out.insert(out.end(), digits.begin(), digits.end());
  return out;
}

Bytes derWrap(unsigned char tag, const Bytes& content) {
  Bytes out;
  putHeader(out, tag, content.size());
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

}  // namespace

bool isPrivateResult(const RsaPublicKey& key, const SecureBytes& input, const SecureBytes& output) {
  if (key.modulus.size() != kModulusBytes || output.size() != kModulusBytes || input.size() != kModulusBytes) {
    return false;
  }
  using SecretNumber = std::unique_ptr<BIGNUM, decltype(&BN_clear_free)>;
  BigNumber n = number(key.modulus), e = number(key.exponent);
  SecretNumber x(BN_bin2bn(output.data(), static_cast<int>(output.size()), nullptr), BN_clear_free);
  SecretNumber y(BN_bin2bn(input.data(), static_cast<int>(input.size()), nullptr), BN_clear_free);
  SecretNumber result(BN_new(), BN_clear_free);
  BigNumberContext context(BN_CTX_secure_new(), BN_CTX_free);
  require(x != nullptr && y != nullptr && result != nullptr && context != nullptr, CKR_HOST_MEMORY);
  require(BN_mod_exp(result.get(), x.get(), e.get(), n.get(), context.get()) == 1, CKR_FUNCTION_FAILED);
  return BN_cmp(result.get(), y.get()) == 0;
}

Bytes subjectPublicKeyInfo(const RsaPublicKey& key) {
  static const Bytes kRsaAlgorithm = {0x30, 0x0d, 0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7,
                                      0x0d, 0x01, 0x01, 0x01, 0x05, 0x00};
  Bytes rsaKey = derInteger(key.modulus);
  const Bytes exponent = derInteger(key.exponent);
  rsaKey.insert(rsaKey.end(), exponent.begin(), exponent.end());
  Bytes bitString{0x00};  // no unused bits
  const Bytes sequence = derWrap(0x30, rsaKey);
  bitString.insert(bitString.end(), sequence.begin(), sequence.end());
  Bytes info = kRsaAlgorithm;
  const Bytes wrapped = derWrap(0x03, bitString);
  info.insert(info.end(), wrapped.begin(), wrapped.end());
  return derWrap(0x30, info);
}

bool verifyPkcs1(const RsaPublicKey& key, const EVP_MD* md, const Bytes& data, const Bytes& signature) {
  const auto block = publicOperation(key, signature);
  if (!block) return false;
  const Bytes message = md != nullptr ? digestInfo(md, data.data(), data.size()) : data;
  if (message.size() + 11 > kModulusBytes) return false;
  return *block == asBytes(encodePkcs1Signature(message.data(), message.size()));
}

bool verifyRaw(const RsaPublicKey& key, const Bytes& data, const Bytes& signature) {
  if (data.size() > kModulusBytes) return false;
  const auto block = publicOperation(key, signature);
  return block && *block == leftPadded(data);
}

bool verifyPss(const RsaPublicKey& key, const PssParameters& pss, const Bytes& digest, const Bytes& signature) {
  const auto block = publicOperation(key, signature);
  return block && checkPss(pss.hash, pss.mgf1, digest.data(), digest.size(), pss.saltLength, *block);
}

Bytes encryptPkcs1(const RsaPublicKey& key, const Bytes& data) {
  require(data.size() + 11 <= kModulusBytes, CKR_DATA_LEN_RANGE);
  Bytes block(kModulusBytes, 0);
  block[1] = 0x02;
  const std::size_t separator = kModulusBytes - data.size() - 1;
  for (std::size_t i = 2; i < separator; ++i) {
    do {
      require(RAND_bytes(&block[i], 1) == 1, CKR_FUNCTION_FAILED);
    } while (block[i] == 0);
  }
  std::copy(data.begin(), data.end(), block.begin() + static_cast<long>(separator) + 1);
  const auto out = publicOperation(key, block);
  OPENSSL_cleanse(block.data(), block.size());
  require(out.has_value(), CKR_FUNCTION_FAILED);
  return *out;
}

Bytes encryptOaep(const RsaPublicKey& key, const OaepParameters& oaep, const Bytes& data) {
  SecureBytes encoded = encodeOaep(oaep.hash, oaep.mgf1, oaep.label, data.data(), data.size());
  Bytes block(encoded.data(), encoded.data() + encoded.size());
  const auto out = publicOperation(key, block);
  OPENSSL_cleanse(block.data(), block.size());
  require(out.has_value(), CKR_FUNCTION_FAILED);
  return *out;
}

Bytes encryptRaw(const RsaPublicKey& key, const Bytes& data) {
  const auto out = publicOperation(key, leftPadded(data));
  require(out.has_value(), CKR_DATA_INVALID);
  return *out;
}

}  // namespace p11
