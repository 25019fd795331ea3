// Acquire refusals, key selection and release of the DES, RC2 and RC4
// contexts, and release of every kind of context by either release export.
#include <gtest/gtest.h>

#include "allocation_probe.h"
#include "cipher_family.h"
#include "dal/ssf33_context.h"
#include "softcrypt/des_context.h"
#include "softcrypt/rc2_context.h"
#include "softcrypt/rc4_context.h"
#include "support/dal_fixture.h"

namespace softcrypt_test {
namespace {

using allocation_probe::WatchResult;

const Bytes kKey32 = hexBytes("0123456789ABCDEF23456789ABCDEF01456789ABCDEF0123FEDCBA9876543210");

struct AcquireCase {
  const char* name;
  VORN_DAL_FN_ACQUIRE acquire;
  int refused;
  std::size_t contextSize;
};

std::ostream& operator<<(std::ostream& os, const AcquireCase& c) { return os << c.name; }

class AcquireRefusal : public testing::TestWithParam<AcquireCase> {};

TEST_P(AcquireRefusal, NoMemoryForTheContext) {
  void* handle = reinterpret_cast<void*>(0x1);
  allocation_probe::refuseNextNothrowAllocation();
  EXPECT_EQ(GetParam().acquire(kKey32.data(), 8, nullptr, 1, 0, &handle), GetParam().refused);
  EXPECT_EQ(handle, reinterpret_cast<void*>(0x1)) << "the handle is stored only on success";
}

TEST_P(AcquireRefusal, NoPlaceForTheHandle) {
  EXPECT_EQ(GetParam().acquire(kKey32.data(), 8, nullptr, 1, 0, nullptr), VORN_DAL_ERR_ARGUMENT);
}

TEST_P(AcquireRefusal, KeyLengthZeroOrBelowReadsNoKey) {
  for (int keyLen : {0, -1, -24}) {
    void* handle = nullptr;
    // A null key shows that nothing is read.
    EXPECT_EQ(GetParam().acquire(nullptr, keyLen, nullptr, 1, 0, &handle), GetParam().refused) << keyLen;
    EXPECT_EQ(handle, nullptr);
  }
}

TEST_P(AcquireRefusal, ReleaseCleansesTheWholeContext) {
  Context ctx;
  ASSERT_EQ(GetParam().acquire(kKey32.data(), 8, kKey32.data(), 2, 7, ctx.out()), 0);
  allocation_probe::watchRelease(ctx.get(), GetParam().contextSize);
  EXPECT_EQ(VORN_DAL_DesReleaseCtx(ctx.get()), 0);
  *ctx.out() = nullptr;
  EXPECT_EQ(allocation_probe::watchResult(), WatchResult::ReleasedZeroed);
}

INSTANTIATE_TEST_SUITE_P(
    Families, AcquireRefusal,
    testing::Values(AcquireCase{"Des", VORN_DAL_DesAcquireContext, VORN_DAL_ERR_KEY_OBJECT,
                                sizeof(softcrypt::DesContext)},
                    AcquireCase{"Rc2", VORN_DAL_Rc2AcquireContext, VORN_DAL_ERR_OTHER, sizeof(softcrypt::Rc2Context)},
                    AcquireCase{"Rc4", VORN_DAL_Rc4AcquireContext, VORN_DAL_ERR_OTHER, sizeof(softcrypt::Rc4Context)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DesKeyLength, OnlyEightSixteenAndTwentyFourOrMoreAreAccepted) {
  for (int keyLen : {1, 7, 9, 12, 15, 17, 23}) {
    void* handle = nullptr;
    EXPECT_EQ(VORN_DAL_DesAcquireContext(kKey32.data(), keyLen, nullptr, 1, 0, &handle), VORN_DAL_ERR_KEY_OBJECT)
        << keyLen;
    EXPECT_EQ(handle, nullptr);
  }
}

Bytes desEncrypt(const Bytes& key, int keyLen, const Bytes& message) {
  Context ctx;
  EXPECT_EQ(VORN_DAL_DesAcquireContext(key.data(), keyLen, nullptr, 1, 0, ctx.out()), 0);
  return callUpdate(VORN_DAL_DesEncrypt, ctx.get(), message, message.size() + 8).data;
}

TEST(DesKeyLength, LongKeysUseTheirFirstTwentyFourBytes) {
  const Bytes message = hexBytes("00112233445566778899");
  const Bytes expected = evpCrypt({"DES-EDE3", Bytes(kKey32.begin(), kKey32.begin() + 24)}, true, {}, message, true);
  EXPECT_EQ(desEncrypt(kKey32, 24, message), expected);
  EXPECT_EQ(desEncrypt(kKey32, 25, message), expected);
  EXPECT_EQ(desEncrypt(kKey32, 32, message), expected);
}

TEST(DesKeyLength, EqualHalvesGiveSingleDes) {
  const Bytes half = hexBytes("133457799BBCDFF1");
  const Bytes message = hexBytes("0123456789ABCDEF0123");
  EXPECT_EQ(desEncrypt(concat(half, half), 16, message), desEncrypt(half, 8, message));
  EXPECT_EQ(desEncrypt(half, 8, message), evpCrypt({"DES-ECB", half}, true, {}, message, true));
}

TEST(Rc2KeyLength, EffectiveBitsFollowTheKeyLength) {
  // A 5-byte key means 40 effective bits, not the 1024 of an unqualified key set-up.
  const Bytes key = hexBytes("0102030405");
  const Bytes message(16, 0x77);
  Context ctx;
  ASSERT_EQ(VORN_DAL_Rc2AcquireContext(key.data(), 5, nullptr, 1, 0, ctx.out()), 0);
  const CallOutput out = callUpdate(VORN_DAL_Rc2Encrypt, ctx.get(), message, 24);
  EXPECT_EQ(out.data, evpCrypt({"RC2-ECB", key, 40}, true, {}, message, true));
  EXPECT_NE(out.data, evpCrypt({"RC2-ECB", key, 1024}, true, {}, message, true));
}

TEST(Release, OneFunctionUnderThreeNames) {
  EXPECT_EQ(reinterpret_cast<void*>(&VORN_DAL_Rc2ReleaseCtx), reinterpret_cast<void*>(&VORN_DAL_DesReleaseCtx));
  EXPECT_EQ(reinterpret_cast<void*>(&VORN_DAL_Rc4ReleaseCtx), reinterpret_cast<void*>(&VORN_DAL_DesReleaseCtx));
  EXPECT_EQ(reinterpret_cast<void*>(&VORN_DAL_Rc4Encrypt), reinterpret_cast<void*>(&VORN_DAL_Rc4Update));
}

TEST(Release, NullHandleIsAccepted) { EXPECT_EQ(VORN_DAL_DesReleaseCtx(nullptr), 0); }

// A context of one kind handed to a release export of another family: it is
// recognised by its tag and freed whole (the entire context cleansed, nothing
// written beyond it). The key starts with the bytes of the DES tag, which a
// context holding its key first would be taken for.
struct CrossReleaseCase {
  const char* name;
  VORN_DAL_FN_ACQUIRE acquire;
  std::size_t contextSize;
  int(VORN_DAL_CALL* release)(void*);
};

std::ostream& operator<<(std::ostream& os, const CrossReleaseCase& c) { return os << c.name; }

class CrossRelease : public testsupport::DalTest, public testing::WithParamInterface<CrossReleaseCase> {};

TEST_P(CrossRelease, FreesTheWholeContextOfItsKind) {
  const Bytes key = hexBytes("444553430123456789ABCDEFFEDCBA98");
  void* handle = nullptr;
  ASSERT_EQ(GetParam().acquire(key.data(), 16, key.data(), 2, 0, &handle), 0);
  const std::size_t overrunsBefore = allocation_probe::overrunBlocks();
  allocation_probe::watchRelease(handle, GetParam().contextSize);
  EXPECT_EQ(GetParam().release(handle), 0);
  EXPECT_EQ(allocation_probe::watchResult(), WatchResult::ReleasedZeroed);
  EXPECT_EQ(allocation_probe::overrunBlocks(), overrunsBefore) << "written beyond the context";
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, CrossRelease,
    testing::Values(CrossReleaseCase{"Ssf33ByDesRelease", VORN_DAL_SSF33AcquireContext, sizeof(pelu7::Ssf33Context),
                                     VORN_DAL_DesReleaseCtx},
                    CrossReleaseCase{"DesBySsf33Release", VORN_DAL_DesAcquireContext, sizeof(softcrypt::DesContext),
                                     VORN_DAL_SSF33ReleaseCtx},
                    CrossReleaseCase{"Rc2BySsf33Release", VORN_DAL_Rc2AcquireContext, sizeof(softcrypt::Rc2Context),
                                     VORN_DAL_SSF33ReleaseCtx},
                    CrossReleaseCase{"Rc4BySsf33Release", VORN_DAL_Rc4AcquireContext, sizeof(softcrypt::Rc4Context),
                                     VORN_DAL_SSF33ReleaseCtx}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace softcrypt_test
