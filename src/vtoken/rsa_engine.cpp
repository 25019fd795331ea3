#include "rsa_engine.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <array>
#include <memory>
#include <optional>
#include <stdexcept>

namespace vtoken {

namespace {

using BigNum = std::unique_ptr<BIGNUM, decltype(&BN_clear_free)>;
using BnCtx = std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)>;
using PKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

constexpr std::uint8_t kLengthByte = static_cast<std::uint8_t>(kRsaElementLength);
constexpr unsigned long kPublicExponent = 65537;

// Element order and tags of the record.
enum Element { kQ, kDq, kP, kDp, kQinv, kElementCount };
constexpr std::array<std::uint8_t, kElementCount> kTags = {0x71, 0x51, 0x70, 0x50, 0x49};

void check(bool ok, const char* what) {
  if (!ok) {
    throw std::runtime_error(what);
  }
}

BigNum newBn() {
  BigNum bn(BN_secure_new(), BN_clear_free);
  check(bn != nullptr, "BN_secure_new failed");
  return bn;
}

struct CrtKey {
  BigNum p{nullptr, BN_clear_free};
  BigNum q{nullptr, BN_clear_free};
  BigNum dP{nullptr, BN_clear_free};
  BigNum dQ{nullptr, BN_clear_free};
  BigNum qInv{nullptr, BN_clear_free};
  BigNum n{nullptr, BN_clear_free};
};

// Reads the record; std::nullopt when a tag or length byte is wrong, an
// element is zero, p or q is even, or p * q is not a 1024-bit modulus.
std::optional<CrtKey> parseRecord(std::span<const std::uint8_t> record, BN_CTX* ctx) {
  if (record.size() < kRsaRecordLength) {
    return std::nullopt;
  }
  std::array<BigNum, kElementCount> elements = {newBn(), newBn(), newBn(), newBn(), newBn()};
  for (std::size_t i = 0; i < kElementCount; ++i) {
    const auto element = record.subspan(i * (2 + kRsaElementLength), 2 + kRsaElementLength);
    if (element[0] != kTags[i] || element[1] != kLengthByte) {
      return std::nullopt;
    }
    check(BN_bin2bn(element.data() + 2, kRsaElementLength, elements[i].get()) != nullptr,
          "BN_bin2bn failed");
    if (BN_is_zero(elements[i].get())) {
      return std::nullopt;
    }
  }
  CrtKey key;
  key.q = std::move(elements[kQ]);
  key.dQ = std::move(elements[kDq]);
  key.p = std::move(elements[kP]);
  key.dP = std::move(elements[kDp]);
  key.qInv = std::move(elements[kQinv]);
  key.n = newBn();
  check(BN_mul(key.n.get(), key.p.get(), key.q.get(), ctx) == 1, "BN_mul failed");
  // Montgomery arithmetic needs odd moduli; primes other than 2 are odd.
  if (static_cast<std::size_t>(BN_num_bytes(key.n.get())) != kModulusLength || BN_is_one(key.p.get()) ||
      BN_is_one(key.q.get()) || !BN_is_odd(key.p.get()) || !BN_is_odd(key.q.get())) {
    return std::nullopt;
  }
  return key;
}

void putElement(SecureBytes& record, Element element, const BIGNUM* value) {
  const std::size_t at = static_cast<std::size_t>(element) * (2 + kRsaElementLength);
  record[at] = kTags[element];
  record[at + 1] = kLengthByte;
  check(BN_bn2binpad(value, record.data() + at + 2, kRsaElementLength) == kRsaElementLength,
        "RSA element does not fit in 64 bytes");
}

BigNum getParam(const EVP_PKEY* pkey, const char* name) {
  BIGNUM* raw = nullptr;
  check(EVP_PKEY_get_bn_param(pkey, name, &raw) == 1, "EVP_PKEY_get_bn_param failed");
  return BigNum(raw, BN_clear_free);
}

}  // namespace

GeneratedRsaKey generateRsaKey1024() {
  PKey pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(kModulusLength * 8)),
            EVP_PKEY_free);
  check(pkey != nullptr, "RSA key generation failed");
  const BigNum e = getParam(pkey.get(), OSSL_PKEY_PARAM_RSA_E);
  check(BN_is_word(e.get(), kPublicExponent), "unexpected public exponent");
  GeneratedRsaKey key;
  key.record.assign(kRsaRecordLength, 0);
  putElement(key.record, kQ, getParam(pkey.get(), OSSL_PKEY_PARAM_RSA_FACTOR2).get());
  putElement(key.record, kDq, getParam(pkey.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2).get());
  putElement(key.record, kP, getParam(pkey.get(), OSSL_PKEY_PARAM_RSA_FACTOR1).get());
  putElement(key.record, kDp, getParam(pkey.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1).get());
  putElement(key.record, kQinv, getParam(pkey.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1).get());
  key.modulus.assign(kModulusLength, 0);
  check(BN_bn2binpad(getParam(pkey.get(), OSSL_PKEY_PARAM_RSA_N).get(), key.modulus.data(),
                     kModulusLength) == kModulusLength,
        "modulus is not 1024 bits");
  return key;
}

// m1 = c^dP mod p, m2 = c^dQ mod q, h = qInv (m1 - m2) mod p, m = m2 + h q.
RsaStatus rsaPrivateRaw(std::span<const std::uint8_t> record, std::span<const std::uint8_t> input,
                        SecureBytes& output) {
  BnCtx ctx(BN_CTX_secure_new(), BN_CTX_free);
  check(ctx != nullptr, "BN_CTX_secure_new failed");
  auto key = parseRecord(record, ctx.get());
  if (!key) {
    return RsaStatus::kNoValidKey;
  }
  BigNum c = newBn();
  check(BN_bin2bn(input.data(), static_cast<int>(input.size()), c.get()) != nullptr, "BN_bin2bn failed");
  if (BN_cmp(c.get(), key->n.get()) >= 0) {
    return RsaStatus::kInputOutOfRange;
  }
  BigNum m1 = newBn();
  BigNum m2 = newBn();
  BigNum h = newBn();
  BigNum m = newBn();
  BN_set_flags(key->dP.get(), BN_FLG_CONSTTIME);
  BN_set_flags(key->dQ.get(), BN_FLG_CONSTTIME);
  check(BN_mod_exp_mont_consttime(m1.get(), c.get(), key->dP.get(), key->p.get(), ctx.get(), nullptr) == 1 &&
            BN_mod_exp_mont_consttime(m2.get(), c.get(), key->dQ.get(), key->q.get(), ctx.get(), nullptr) ==
                1 &&
            BN_mod_sub(h.get(), m1.get(), m2.get(), key->p.get(), ctx.get()) == 1 &&
            BN_mod_mul(h.get(), h.get(), key->qInv.get(), key->p.get(), ctx.get()) == 1 &&
            BN_mul(m.get(), h.get(), key->q.get(), ctx.get()) == 1 &&
            BN_add(m.get(), m.get(), m2.get()) == 1,
        "RSA CRT computation failed");
  // With inconsistent CRT elements (an imported record is taken as written)
  // the sum may exceed n; reducing it keeps the answer within 128 bytes.
  check(BN_nnmod(m.get(), m.get(), key->n.get(), ctx.get()) == 1, "BN_nnmod failed");
  output.assign(kModulusLength, 0);
  check(BN_bn2binpad(m.get(), output.data(), kModulusLength) == kModulusLength, "BN_bn2binpad failed");
  return RsaStatus::kOk;
}

bool holdsRsaKey(std::span<const std::uint8_t> record) {
  BnCtx ctx(BN_CTX_new(), BN_CTX_free);
  check(ctx != nullptr, "BN_CTX_new failed");
  return parseRecord(record, ctx.get()).has_value();
}

}  // namespace vtoken
