// Failure codes and edge cases of the DES and RC2 cipher operations, run on
// both families through the exports.
#include <gtest/gtest.h>

#include "cipher_family.h"

namespace softcrypt_test {
namespace {

const Bytes kKey16 = hexBytes("0123456789ABCDEFFEDCBA9876543210");
const Bytes kIv = hexBytes("A0A1A2A3A4A5A6A7");

class CipherEdges : public testing::TestWithParam<const CipherFamily*> {
 protected:
  const CipherFamily& family() const { return *GetParam(); }

  void acquire(Context& ctx, int mode, int option = 0) {
    ASSERT_EQ(family().acquire(kKey16.data(), 16, kIv.data(), mode, option, ctx.out()), 0);
  }

  // The context's cipher in ECB without padding, from the oracle.
  Bytes rawEcb(bool encrypt, const Bytes& data) {
    return evpCrypt(family().oracle(kKey16, 1), encrypt, {}, data, false);
  }

  // The MAC of the empty message shows whether `pending` and `pendingLen`
  // are still those of a fresh context.
  Bytes emptyMessageMac(void* ctx) {
    Bytes mac(8);
    EXPECT_EQ(family().macFinal(ctx, mac.data(), 8), 0);
    return mac;
  }
};

TEST_P(CipherEdges, EncryptUpdatesBufferUntilAWholeBlock) {
  Context ctx;
  acquire(ctx, 1);
  const Bytes message = hexBytes("0102030405060708");
  const CallOutput first = callUpdate(family().encUpdate, ctx.get(), Bytes(message.begin(), message.begin() + 3), 8);
  ASSERT_EQ(first.code, 0);
  EXPECT_TRUE(first.data.empty());
  const CallOutput second = callUpdate(family().encUpdate, ctx.get(), Bytes(message.begin() + 3, message.end()), 8);
  ASSERT_EQ(second.code, 0);
  EXPECT_EQ(second.data, rawEcb(true, message));
  const CallOutput final = callFinal(family().encFinal, ctx.get());
  ASSERT_EQ(final.code, 0);
  EXPECT_EQ(final.data, rawEcb(true, Bytes(8, 0x08)));
}

TEST_P(CipherEdges, DecryptUpdatesHoldBackTheLastBlock) {
  const Bytes plain = hexBytes("1122334455");
  const Bytes single = rawEcb(true, hexBytes("1122334455030303"));
  Context ctx;
  acquire(ctx, 1);
  const CallOutput held = callUpdate(family().decUpdate, ctx.get(), single, 8);
  ASSERT_EQ(held.code, 0);
  EXPECT_TRUE(held.data.empty());
  const CallOutput final = callFinal(family().decFinal, ctx.get());
  ASSERT_EQ(final.code, 0);
  EXPECT_EQ(final.data, plain);

  Context two;
  acquire(two, 1);
  const Bytes first = hexBytes("A1A2A3A4A5A6A7A8");
  const CallOutput out = callUpdate(family().decUpdate, two.get(), concat(rawEcb(true, first), single), 16);
  ASSERT_EQ(out.code, 0);
  EXPECT_EQ(out.data, first);
  EXPECT_EQ(callFinal(family().decFinal, two.get()).data, plain);
}

TEST_P(CipherEdges, EmptyMessageEncryptsToThePaddingBlock) {
  Context ctx;
  acquire(ctx, 1);
  const CallOutput out = callUpdate(family().encrypt, ctx.get(), {}, 8);
  ASSERT_EQ(out.code, 0);
  EXPECT_EQ(out.data, rawEcb(true, Bytes(8, 0x08)));
}

TEST_P(CipherEdges, OnlyTheLastPaddingByteIsChecked) {
  for (const char* block : {"FFEEDDCCBBAA9901", "0000000000000001", "0102030405060708"}) {
    Context ctx;
    acquire(ctx, 1);
    const Bytes plain = hexBytes(block);
    const CallOutput out = callUpdate(family().decrypt, ctx.get(), rawEcb(true, plain), 8);
    ASSERT_EQ(out.code, 0) << block;
    EXPECT_EQ(out.data, Bytes(plain.begin(), plain.end() - plain.back())) << block;
  }
}

TEST_P(CipherEdges, PaddingByteOutOfRangeIsRefused) {
  const Bytes lead = hexBytes("5152535455565758");
  for (const char* last : {"0102030405060700", "0909090909090909", "00000000000000FF"}) {
    const Bytes ciphertext = rawEcb(true, concat(lead, hexBytes(last)));
    Context oneShot;
    acquire(oneShot, 1);
    Bytes out(16, 0xEE);
    int outLen = -7;
    EXPECT_EQ(family().decrypt(oneShot.get(), ciphertext.data(), 16, out.data(), &outLen), VORN_DAL_ERR_PADDING);
    EXPECT_EQ(outLen, -7);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), lead) << "earlier blocks are already written";

    Context streamed;
    acquire(streamed, 1);
    ASSERT_EQ(callUpdate(family().decUpdate, streamed.get(), ciphertext, 16).data, lead);
    EXPECT_EQ(family().decFinal(streamed.get(), out.data(), &outLen), VORN_DAL_ERR_PADDING);
    EXPECT_EQ(outLen, -7);
  }
}

TEST_P(CipherEdges, OneShotDecryptionNeedsAPositiveMultipleOfEightBytes) {
  for (std::size_t length : {0, 7, 12, 17}) {
    Context ctx;
    acquire(ctx, 2);
    const Bytes in(length, 0x42);
    Bytes out(24);
    int outLen = -7;
    EXPECT_EQ(family().decrypt(ctx.get(), in.data(), static_cast<unsigned>(length), out.data(), &outLen),
              VORN_DAL_ERR_DATA_LENGTH)
        << length;
    EXPECT_EQ(outLen, -7);
  }
}

TEST_P(CipherEdges, DecryptFinalNeedsExactlyOneHeldBlock) {
  Context ctx;
  acquire(ctx, 1);
  Bytes out(16);
  int outLen = -7;
  EXPECT_EQ(family().decFinal(ctx.get(), out.data(), &outLen), family().finalLengthCode) << "nothing held";
  ASSERT_EQ(callUpdate(family().decUpdate, ctx.get(), Bytes(12, 0x42), 8).data.size(), 8u);
  EXPECT_EQ(family().decFinal(ctx.get(), out.data(), &outLen), family().finalLengthCode) << "4 bytes held";
  EXPECT_EQ(outLen, -7);
}

TEST_P(CipherEdges, EncryptFinalRefusesTheWholeBlockLeftByDecryption) {
  Context ctx;
  acquire(ctx, 1);
  ASSERT_EQ(callUpdate(family().decUpdate, ctx.get(), Bytes(8, 0x42), 8).code, 0);
  Bytes out(8);
  int outLen = -7;
  EXPECT_EQ(family().encFinal(ctx.get(), out.data(), &outLen), family().finalLengthCode);
  EXPECT_EQ(outLen, -7);
}

TEST_P(CipherEdges, ModeOutsideEcbAndCbcIsRefusedByEveryCipherOperation) {
  for (int mode : {0, 3, -1}) {
    Context ctx;
    acquire(ctx, mode);
    const Bytes in(12, 0x42);
    Bytes out(32, 0xEE);
    int outLen = -7;
    EXPECT_EQ(family().encUpdate(ctx.get(), in.data(), 3, out.data(), &outLen), VORN_DAL_ERR_MODE);
    EXPECT_EQ(family().encFinal(ctx.get(), out.data(), &outLen), VORN_DAL_ERR_MODE);
    EXPECT_EQ(family().encrypt(ctx.get(), in.data(), 12, out.data(), &outLen), VORN_DAL_ERR_MODE);
    EXPECT_EQ(family().decUpdate(ctx.get(), in.data(), 12, out.data(), &outLen), VORN_DAL_ERR_MODE);
    EXPECT_EQ(family().decFinal(ctx.get(), out.data(), &outLen), VORN_DAL_ERR_MODE);
    EXPECT_EQ(family().decrypt(ctx.get(), in.data(), 8, out.data(), &outLen), VORN_DAL_ERR_MODE);
    EXPECT_EQ(outLen, -7);
    EXPECT_EQ(out, Bytes(32, 0xEE));
    // The MAC works on such a context, and sees nothing left behind.
    Context fresh;
    acquire(fresh, 1);
    EXPECT_EQ(emptyMessageMac(ctx.get()), emptyMessageMac(fresh.get())) << "mode " << mode;
  }
}

TEST_P(CipherEdges, OptionHasNoEffect) {
  const Bytes message(21, 0x5A);
  Bytes reference;
  for (int option : {0, 1, 12345}) {
    Context ctx;
    acquire(ctx, 2, option);
    const CallOutput out = callUpdate(family().encrypt, ctx.get(), message, 32);
    ASSERT_EQ(out.code, 0);
    if (reference.empty()) reference = out.data;
    EXPECT_EQ(out.data, reference) << "option " << option;
  }
}

TEST_P(CipherEdges, OneShotLeavesPendingAloneButMovesTheChain) {
  const Bytes first = hexBytes("000102030405060708090A0B0C0D0E0F10");
  const Bytes second = hexBytes("2122232425");
  Context ctx;
  acquire(ctx, 2);
  ASSERT_EQ(callUpdate(family().encUpdate, ctx.get(), hexBytes("AABBCC"), 8).data.size(), 0u);
  const CallOutput a = callUpdate(family().encrypt, ctx.get(), first, 32);
  const CallOutput b = callUpdate(family().encrypt, ctx.get(), second, 16);
  ASSERT_EQ(a.code, 0);
  ASSERT_EQ(b.code, 0);
  const OracleCipher cbc = family().oracle(kKey16, 2);
  EXPECT_EQ(a.data, evpCrypt(cbc, true, kIv, first, true));
  EXPECT_EQ(b.data, evpCrypt(cbc, true, Bytes(a.data.end() - 8, a.data.end()), second, true));
  // The three bytes buffered before the one-shot calls are still pending.
  const CallOutput rest = callUpdate(family().encUpdate, ctx.get(), hexBytes("DDEEFF1122"), 8);
  EXPECT_EQ(rest.data, evpCrypt(cbc, true, Bytes(b.data.end() - 8, b.data.end()), hexBytes("AABBCCDDEEFF1122"), false));
}

TEST_P(CipherEdges, FinalsDoNotResetTheContext) {
  Context ecb;
  acquire(ecb, 1);
  ASSERT_EQ(callUpdate(family().encUpdate, ecb.get(), hexBytes("0102"), 8).code, 0);
  const CallOutput once = callFinal(family().encFinal, ecb.get());
  EXPECT_EQ(callFinal(family().encFinal, ecb.get()).data, once.data);

  // In CBC the final block becomes the chaining value, so a second final differs.
  Context cbc;
  acquire(cbc, 2);
  const CallOutput first = callFinal(family().encFinal, cbc.get());
  const CallOutput second = callFinal(family().encFinal, cbc.get());
  EXPECT_EQ(second.data, evpCrypt(family().oracle(kKey16, 2), true, first.data, Bytes(8, 0x08), false));
}

INSTANTIATE_TEST_SUITE_P(Families, CipherEdges, testing::Values(&kDes, &kRc2),
                         [](const auto& info) { return std::string(info.param->name); });

}  // namespace
}  // namespace softcrypt_test
