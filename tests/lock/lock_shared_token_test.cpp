// The lock doing its job: processes that share one token file and import key
// pairs under "SemVornDal" never get the same key pair id, and every pair
// ends up complete on the card.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <numeric>
#include <vector>

#include "process_harness.h"
#include "support/dal_fixture.h"

namespace {

using locktest::Channel;
using locktest::ChildProcess;

constexpr int kProcesses = 3;
constexpr int kImportsEach = 3;

struct KeyPair {
  std::array<unsigned char, 128> n{};
  std::array<unsigned char, 64> p{}, q{}, dP{}, dQ{}, qInv{};
};

template <size_t N>
void exportPart(const EVP_PKEY* key, const char* name, std::array<unsigned char, N>& out) {
  BIGNUM* value = nullptr;
  ASSERT_EQ(1, EVP_PKEY_get_bn_param(key, name, &value));
  const std::unique_ptr<BIGNUM, decltype(&BN_clear_free)> owner(value, BN_clear_free);
  ASSERT_EQ(static_cast<int>(N), BN_bn2binpad(value, out.data(), static_cast<int>(N)));
}

void generateKeyPair(KeyPair& key) {
  const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(EVP_RSA_gen(1024), EVP_PKEY_free);
  ASSERT_NE(nullptr, pkey);
  exportPart(pkey.get(), OSSL_PKEY_PARAM_RSA_N, key.n);
  exportPart(pkey.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, key.p);
  exportPart(pkey.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, key.q);
  exportPart(pkey.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, key.dP);
  exportPart(pkey.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, key.dQ);
  exportPart(pkey.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, key.qInv);
}

// Child: imports the key pair kImportsEach times, each time under the lock
// with a login of its own (another process may have changed the card's
// security state), and reports each pair of ids.
int importUnderLock(Channel& test, const KeyPair& key, const std::string& userPin) {
  void* lock = nullptr;
  if (VORN_DAL_CreateMutex(&lock) != 0) return 1;
  for (int i = 0; i < kImportsEach; ++i) {
    if (VORN_DAL_LockMutex(lock) != 0) return 2;
    const auto* pin = reinterpret_cast<const unsigned char*>(userPin.data());
    if (VORN_DAL_Login(VORN_DAL_USER, pin, static_cast<int>(userPin.size())) != 0) return 3;
    std::int32_t ids[2] = {0, 0};
    const int imported = VORN_DAL_ImportRsaKeyPair(nullptr, key.n.data(), nullptr, key.p.data(), key.q.data(),
                                                   key.dP.data(), key.dQ.data(), key.qInv.data(), &ids[0], &ids[1]);
    if (VORN_DAL_UnLockMutex(lock) != 0) return 4;
    if (imported != 0) return 5;
    test.sendBytes(ids, sizeof ids);
  }
  VORN_DAL_Finalize();
  return VORN_DAL_DestroyMutex(lock);
}

class SharedTokenLockTest : public testsupport::DalTest {};

TEST_F(SharedTokenLockTest, ProcessesImportingUnderTheLockNeverShareAKeyPairId) {
  KeyPair key;
  ASSERT_NO_FATAL_FAILURE(generateKeyPair(key));
  setenv("PELU7_READERS", ("USB1=vtoken:" + dir_.file("shared.vtoken")).c_str(), 1);
  formatToken();
  VORN_DAL_Finalize();

  std::vector<std::unique_ptr<ChildProcess>> children;
  for (int i = 0; i < kProcesses; ++i)
    children.push_back(
        std::make_unique<ChildProcess>([&key](Channel& test) { return importUnderLock(test, key, kUserPin); }));

  std::vector<std::int32_t> ids;
  for (auto& child : children) {
    for (int i = 0; i < kImportsEach; ++i) {
      std::int32_t pair[2];
      if (!child->receiveBytes(pair, sizeof pair)) break;
      EXPECT_EQ(pair[0] + 1, pair[1]);
      ids.insert(ids.end(), pair, pair + 2);
    }
    EXPECT_EQ(0, child->wait());
  }

  // Ids 1 and 2 go to the first import, 3 and 4 to the next, and so on:
  // nothing handed out twice, nothing skipped.
  std::sort(ids.begin(), ids.end());
  std::vector<std::int32_t> expected(2 * kProcesses * kImportsEach);
  std::iota(expected.begin(), expected.end(), 1);
  EXPECT_EQ(expected, ids);

  for (std::int32_t publicId = 1; publicId < static_cast<std::int32_t>(expected.size()); publicId += 2) {
    std::array<unsigned char, 128> modulus{};
    int modulusLen = 0;
    EXPECT_EQ(0, VORN_DAL_GetPublicKey(publicId, modulus.data(), &modulusLen)) << "key pair " << publicId;
    EXPECT_EQ(128, modulusLen);
    EXPECT_EQ(key.n, modulus) << "key pair " << publicId;
  }
}

}  // namespace
