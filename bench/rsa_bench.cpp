// RSA public-key operations: the library's exports, which keep the prepared
// key objects of each thread, against OpenSSL with a key object built once;
// and, with a new key on every call, against the same per-call key building
// done directly with OpenSSL. The key building alone is timed as well.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/allocation_counter.h"
#include "bench/deprecated_call.h"
#include "bench/paired_timing.h"
#include "bench/registration.h"
#include "bench/summary.h"
#include "softcrypt/rsa_key_cache.h"
#include "softcrypt/rsa_public_key.h"
#include "vorn_dal_pelu7.h"

namespace bench {
namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyContextFree {
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct RsaFree {
  void operator()(RSA* rsa) const { BENCH_DEPRECATED_CALL(RSA_free(rsa)) }
};
struct BignumFree {
  void operator()(BIGNUM* number) const { BN_free(number); }
};
using PkeyHolder = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyContextHolder = std::unique_ptr<EVP_PKEY_CTX, PkeyContextFree>;
using RsaHolder = std::unique_ptr<RSA, RsaFree>;
using BignumHolder = std::unique_ptr<BIGNUM, BignumFree>;

constexpr unsigned char kExponent[] = {0x01, 0x00, 0x01};
constexpr int kPkcs1DataLength = 100;
constexpr int kSignedDataLength = 36;
// Keys that a run with a new key on every call cycles through: more than a
// thread's cache holds, so that no call finds its key there.
constexpr std::size_t kRotatingKeys = 2 * softcrypt::kRsaKeyCacheSize + 1;

// Repeated use of one key: at least 0.8 of the speed of a key object that
// OpenSSL prepared once. A new key on every call: at most 5 % above building
// the key object with OpenSSL on every call.
constexpr Goal kRepeatedKeyGoal{GoalKind::AtMost, 1 / 0.8};
constexpr Goal kNewKeyGoal{GoalKind::AtMost, 1.05};

// A generated key pair and what the benchmarks feed the public operations.
struct RsaCase {
  int bits = 0;
  std::vector<unsigned char> modulus;
  std::vector<unsigned char> rawInput;     // a value below the modulus
  std::vector<unsigned char> pkcs1Input;   // data for PKCS#1 v1.5 encryption
  std::vector<unsigned char> signedBlock;  // a PKCS#1 v1.5 type-1 block, enciphered with the private key
  // Moduli that differ from `modulus` in their second lowest byte (odd, and
  // above rawInput, like it): each a public key of its own.
  std::vector<std::vector<unsigned char>> rotatingModuli;
};

// The RSA object of a modulus with exponent 65537, built directly with OpenSSL.
RsaHolder buildKey(const std::vector<unsigned char>& modulus) {
  RSA* rsa = nullptr;
  BENCH_DEPRECATED_CALL(rsa = RSA_new())
  RsaHolder holder(rsa);
  BignumHolder n(BN_bin2bn(modulus.data(), int(modulus.size()), nullptr));
  BignumHolder e(BN_bin2bn(kExponent, sizeof kExponent, nullptr));
  int set = 0;
  if (holder && n && e) {
    BENCH_DEPRECATED_CALL(set = RSA_set0_key(holder.get(), n.get(), e.get(), nullptr))
  }
  if (set != 1) return nullptr;
  n.release();
  e.release();
  return holder;
}

bool makeCase(int bits, RsaCase& out) {
  PkeyHolder key(EVP_RSA_gen(static_cast<unsigned>(bits)));
  BIGNUM* n = nullptr;
  if (!key || EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &n) != 1) return false;
  BignumHolder modulus(n);
  const int bytes = bits / 8;
  out.bits = bits;
  out.modulus.resize(bytes);
  BN_bn2binpad(modulus.get(), out.modulus.data(), bytes);
  out.rawInput.assign(bytes, 0x5A);
  out.rawInput[0] = 0x00;
  out.pkcs1Input.assign(kPkcs1DataLength, 0x3C);
  for (std::size_t i = 0; i < kRotatingKeys; ++i) {
    std::vector<unsigned char> modulus = out.modulus;
    modulus[bytes - 2] ^= static_cast<unsigned char>(i + 1);
    out.rotatingModuli.push_back(std::move(modulus));
  }

  // Signing raw data (no digest) gives the type-1 block that recovery expects.
  PkeyContextHolder signer(EVP_PKEY_CTX_new(key.get(), nullptr));
  const std::vector<unsigned char> data(kSignedDataLength, 0x77);
  std::size_t length = bytes;
  out.signedBlock.resize(bytes);
  return signer && EVP_PKEY_sign_init(signer.get()) == 1 &&
         EVP_PKEY_CTX_set_rsa_padding(signer.get(), RSA_PKCS1_PADDING) == 1 &&
         EVP_PKEY_sign(signer.get(), out.signedBlock.data(), &length, data.data(), data.size()) == 1 &&
         length == std::size_t(bytes);
}

using DalRsaCall = int(VORN_DAL_CALL*)(const unsigned char*, unsigned int, const unsigned char*, int, unsigned char*,
                                       int*);

enum class Operation { Raw, Pkcs1Encrypt, Pkcs1Recover };

struct OperationCase {
  const char* label;
  Operation operation;
  DalRsaCall dal;
};

constexpr OperationCase kOperations[] = {
    {"raw", Operation::Raw, VORN_DAL_RsaPublicKeyRaw},
    {"PKCS#1 enc", Operation::Pkcs1Encrypt, VORN_DAL_Pkcs1RsaPublicKeyEnc},
    {"PKCS#1 dec", Operation::Pkcs1Recover, VORN_DAL_Pkcs1RsaPublicKeyDec},
};

const std::vector<unsigned char>& inputOf(const RsaCase& key, Operation operation) {
  switch (operation) {
    case Operation::Raw: return key.rawInput;
    case Operation::Pkcs1Encrypt: return key.pkcs1Input;
    case Operation::Pkcs1Recover: return key.signedBlock;
  }
  return key.rawInput;
}

int opensslCall(Operation operation, RSA* rsa, const std::vector<unsigned char>& in, unsigned char* out) {
  int result = -1;
  switch (operation) {
    case Operation::Raw:
      BENCH_DEPRECATED_CALL(result = RSA_public_encrypt(int(in.size()), in.data(), out, rsa, RSA_NO_PADDING))
      break;
    case Operation::Pkcs1Encrypt:
      BENCH_DEPRECATED_CALL(result = RSA_public_encrypt(int(in.size()), in.data(), out, rsa, RSA_PKCS1_PADDING))
      break;
    case Operation::Pkcs1Recover:
      BENCH_DEPRECATED_CALL(result = RSA_public_decrypt(int(in.size()), in.data(), out, rsa, RSA_PKCS1_PADDING))
      break;
  }
  return result;
}

int dalCall(const OperationCase& op, const RsaCase& key, unsigned char* out) {
  const std::vector<unsigned char>& in = inputOf(key, op.operation);
  int length = 0;
  return op.dal(key.modulus.data(), unsigned(key.modulus.size()), in.data(), int(in.size()), out, &length);
}

std::string pairName(const RsaCase& key, const std::string& what) {
  return "rsa/" + std::to_string(key.bits) + "/" + what;
}

// Both sides must succeed; the raw operation must give the same bytes on
// both sides, with the key itself and with every rotating key.
bool check(const RsaCase& key) {
  unsigned char out[512];
  RsaHolder prepared = buildKey(key.modulus);
  for (const OperationCase& op : kOperations) {
    const int dal = dalCall(op, key, out);
    const int openssl = opensslCall(op.operation, prepared.get(), inputOf(key, op.operation), out);
    if (dal != 0 || openssl <= 0) {
      std::fprintf(stderr, "pelu7_bench: RSA-%d %s refused (library %d, OpenSSL %d)\n", key.bits, op.label, dal,
                   openssl);
      return false;
    }
  }
  std::vector<const std::vector<unsigned char>*> moduli{&key.modulus};
  for (const auto& modulus : key.rotatingModuli) moduli.push_back(&modulus);
  for (const std::vector<unsigned char>* modulus : moduli) {
    unsigned char ours[512], reference[512];
    int length = 0;
    const int dal = VORN_DAL_RsaPublicKeyRaw(modulus->data(), unsigned(modulus->size()), key.rawInput.data(),
                                             int(key.rawInput.size()), ours, &length);
    RsaHolder rsa = buildKey(*modulus);
    const int openssl = opensslCall(Operation::Raw, rsa.get(), key.rawInput, reference);
    if (dal != 0 || openssl != length || std::memcmp(ours, reference, std::size_t(length)) != 0) {
      std::fprintf(stderr, "pelu7_bench: RSA-%d raw results differ from OpenSSL's\n", key.bits);
      return false;
    }
  }
  return true;
}

// Allocations of a call with a key used before, on both sides.
void recordAllocations(const RsaCase& key, const OperationCase& op, const std::string& prefix) {
  unsigned char scratch[512];
  RsaHolder prepared = buildKey(key.modulus);
  dalCall(op, key, scratch);
  opensslCall(op.operation, prepared.get(), inputOf(key, op.operation), scratch);
  AllocationCounts ours, reference;
  {
    CountAllocations counter;
    dalCall(op, key, scratch);
    ours = counter.counts();
  }
  {
    CountAllocations counter;
    opensslCall(op.operation, prepared.get(), inputOf(key, op.operation), scratch);
    reference = counter.counts();
  }
  summary().addCount(prefix + op.label + " allocations", double(ours.total), double(reference.total),
                     {GoalKind::Equal}, "(reference: prepared key)");
}

void registerKeySize(const RsaCase& key) {
  const std::string prefix = "RSA-" + std::to_string(key.bits) + " ";
  for (const OperationCase& op : kOperations) {
    const std::string name = pairName(key, op.label);
    registerPair(name, [&key, &op] {
      auto prepared = std::make_shared<RsaHolder>(buildKey(key.modulus));
      return PairCalls{[&key, &op] {
                         unsigned char out[512];
                         benchmark::DoNotOptimize(dalCall(op, key, out));
                       },
                       [&key, &op, prepared] {
                         unsigned char out[512];
                         benchmark::DoNotOptimize(
                             opensslCall(op.operation, prepared->get(), inputOf(key, op.operation), out));
                       }};
    });
    summary().addTimed(prefix + op.label + " vs prepared key", Measure::TimePerCall, name, kRepeatedKeyGoal);
  }
  for (const OperationCase& op : kOperations) recordAllocations(key, op, prefix);

  // What a new key costs: building its key object alone (against one
  // operation with a prepared key), and the raw operation with a new key on
  // every call (against building the key object with OpenSSL on every call).
  const std::string buildName = pairName(key, "key building");
  registerPair(buildName, [&key] {
    auto prepared = std::make_shared<RsaHolder>(buildKey(key.modulus));
    return PairCalls{[&key] {
                       softcrypt::RsaPublicKeyBlock block;
                       softcrypt::fillRsaPublicKeyBlock(block, key.modulus.data(), key.modulus.size());
                       benchmark::DoNotOptimize(softcrypt::toRsaKey(block).get());
                     },
                     [&key, prepared] {
                       unsigned char out[512];
                       benchmark::DoNotOptimize(opensslCall(Operation::Raw, prepared->get(), key.rawInput, out));
                     }};
  });
  summary().addTimed(prefix + "key building alone vs prepared raw", Measure::TimePerCall, buildName, {});
  const std::string perCallName = pairName(key, "raw new key vs key per call");
  registerPair(perCallName, [&key] {
    auto oursNext = std::make_shared<std::size_t>(0);
    auto referenceNext = std::make_shared<std::size_t>(0);
    return PairCalls{[&key, oursNext] {
                       const std::vector<unsigned char>& modulus = key.rotatingModuli[*oursNext];
                       *oursNext = (*oursNext + 1) % kRotatingKeys;
                       unsigned char out[512];
                       int length = 0;
                       benchmark::DoNotOptimize(VORN_DAL_RsaPublicKeyRaw(modulus.data(), unsigned(modulus.size()),
                                                                         key.rawInput.data(),
                                                                         int(key.rawInput.size()), out, &length));
                     },
                     [&key, referenceNext] {
                       const std::vector<unsigned char>& modulus = key.rotatingModuli[*referenceNext];
                       *referenceNext = (*referenceNext + 1) % kRotatingKeys;
                       unsigned char out[512];
                       RsaHolder rsa = buildKey(modulus);
                       benchmark::DoNotOptimize(opensslCall(Operation::Raw, rsa.get(), key.rawInput, out));
                     }};
  });
  summary().addTimed(prefix + "raw, new key each call vs OpenSSL key per call", Measure::TimePerCall, perCallName,
                     kNewKeyGoal);
}

std::vector<RsaCase>& rsaCases() {
  static std::vector<RsaCase> cases;
  return cases;
}

}  // namespace

bool registerRsaBenchmarks() {
  std::vector<RsaCase>& cases = rsaCases();
  cases.resize(2);
  if (!makeCase(1024, cases[0]) || !makeCase(2048, cases[1])) {
    std::fprintf(stderr, "pelu7_bench: RSA key generation failed\n");
    return false;
  }
  summary().addSection(
      "RSA public-key operations (time per call; the library keeps the prepared keys of each thread, at most " +
      std::to_string(softcrypt::kRsaKeyCacheSize) + ")");
  for (const RsaCase& key : cases) {
    if (!check(key)) return false;
    registerKeySize(key);
  }
  return true;
}

}  // namespace bench
