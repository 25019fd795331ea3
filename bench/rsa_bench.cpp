// RSA public-key operations: the library's exports, which build a key object
// from the caller's modulus on every call, against OpenSSL with a key object
// built once. Where the difference goes is shown by timing the key building
// alone and the same per-call work done directly with OpenSSL.
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

// A generated key pair and what the benchmarks feed the public operations.
struct RsaCase {
  int bits = 0;
  std::vector<unsigned char> modulus;
  std::vector<unsigned char> rawInput;     // a value below the modulus
  std::vector<unsigned char> pkcs1Input;   // data for PKCS#1 v1.5 encryption
  std::vector<unsigned char> signedBlock;  // a PKCS#1 v1.5 type-1 block, enciphered with the private key
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

// Both sides must succeed, and recovery must give the signed data.
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
  return true;
}

void recordAllocations(const RsaCase& key, const OperationCase& op, const std::string& prefix) {
  unsigned char scratch[512];
  RsaHolder prepared = buildKey(key.modulus);
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
  summary().addCount(prefix + op.label + " allocations", double(ours.total), double(reference.total), {},
                     "(reference: prepared key)");
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
    summary().addTimed(prefix + op.label + " vs prepared key", Measure::TimePerCall, name, {});
  }
  for (const OperationCase& op : kOperations) recordAllocations(key, op, prefix);

  // Where the time goes: the key object that every call builds, alone
  // (against one operation with a prepared key) and with the raw operation
  // (against the same per-call work done directly with OpenSSL).
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
  const std::string perCallName = pairName(key, "raw vs key per call");
  registerPair(perCallName, [&key] {
    return PairCalls{[&key] {
                       unsigned char out[512];
                       benchmark::DoNotOptimize(dalCall(kOperations[0], key, out));
                     },
                     [&key] {
                       unsigned char out[512];
                       RsaHolder rsa = buildKey(key.modulus);
                       benchmark::DoNotOptimize(opensslCall(Operation::Raw, rsa.get(), key.rawInput, out));
                     }};
  });
  summary().addTimed(prefix + "raw vs OpenSSL key per call", Measure::TimePerCall, perCallName, {});
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
  summary().addSection("RSA public-key operations (time per call; the library builds its key object on every call)");
  for (const RsaCase& key : cases) {
    if (!check(key)) return false;
    registerKeySize(key);
  }
  return true;
}

}  // namespace bench
