// SSF33 exports at their edges: refusals by the card, exact command bytes,
// log lines, modes the cipher refuses, lengths and padding.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/dal_fixture.h"
#include "support/scripted_card.h"
#include "vorn_dal_pelu7.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Texts = std::vector<std::string>;
using CtxHolder = std::unique_ptr<void, int (*)(void*)>;
using testsupport::fromHex;
using testsupport::toHex;

const Bytes kKey = fromHex("00112233445566778899AABBCCDDEEFF");
const Bytes kOtherKey = fromHex("0F1E2D3C4B5A69788796A5B4C3D2E1F0");
const Bytes kIv = fromHex("A0A1A2A3A4A5A6A7A8A9AAABACADAEAF");
constexpr int kUntouched = -12345;

Bytes message(size_t length) {
  Bytes m(length);
  for (size_t i = 0; i < length; ++i) m[i] = static_cast<unsigned char>(0x30 + i);
  return m;
}

class Ssf33EdgeTest : public testsupport::DalTest {
 protected:
  CtxHolder acquire(int mode, const Bytes& key = kKey) {
    void* ctx = nullptr;
    EXPECT_EQ(VORN_DAL_SSF33AcquireContext(key.data(), 16, kIv.data(), mode, 0, &ctx), 0);
    return {ctx, VORN_DAL_SSF33ReleaseCtx};
  }

  Bytes encryptAlone(int mode, const Bytes& key, const Bytes& data) {
    Bytes out(data.size() + 16);
    int len = 0;
    EXPECT_EQ(VORN_DAL_SSF33Encrypt(acquire(mode, key).get(), data.data(), static_cast<unsigned>(data.size()),
                                    out.data(), &len),
              0);
    out.resize(static_cast<size_t>(len));
    return out;
  }

  testsupport::ScriptedCard card_;
};

TEST_F(Ssf33EdgeTest, CardWithoutSsf33IsRefusedAtAcquire) {
  card_.answerNth({0x80, 0x78, 0x04}, 1, 0x6D00);
  void* ctx = nullptr;
  EXPECT_EQ(VORN_DAL_SSF33AcquireContext(kKey.data(), 16, kIv.data(), 1, 0, &ctx), -10);
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(logTexts(), Texts{"SSF33 not SUPPORT:27904:0x6D00"});
}

TEST_F(Ssf33EdgeTest, AcquireRefusesMissingKeyOrCbcIvBeforeTheCard) {
  void* ctx = nullptr;
  EXPECT_EQ(VORN_DAL_SSF33AcquireContext(nullptr, 16, kIv.data(), 1, 0, &ctx), -500);
  EXPECT_EQ(VORN_DAL_SSF33AcquireContext(kKey.data(), 16, nullptr, 2, 0, &ctx), -500);
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(card_.countWithHeader({0x80, 0x78, 0x04}), 0u);
  ASSERT_EQ(VORN_DAL_SSF33AcquireContext(kKey.data(), 8, nullptr, 1, 0, &ctx), 0);  // ECB reads no IV
  EXPECT_EQ(VORN_DAL_SSF33ReleaseCtx(ctx), 0);
  EXPECT_EQ(VORN_DAL_SSF33ReleaseCtx(nullptr), 0);
}

// Every update loads the key first, also when it only buffers.
TEST_F(Ssf33EdgeTest, CommandBytesOfProbeKeyLoadAndBlocks) {
  CtxHolder enc = acquire(1);
  EXPECT_EQ(card_.commandsHex().back(), "8078040000");
  card_.clear();
  const Bytes plain = message(16);
  Bytes out(16);
  int len = kUntouched;
  ASSERT_EQ(VORN_DAL_SSF33EncUpdate(enc.get(), plain.data(), 15, out.data(), &len), 0);
  EXPECT_EQ(len, 0);
  ASSERT_EQ(VORN_DAL_SSF33EncUpdate(enc.get(), plain.data() + 15, 1, out.data(), &len), 0);
  EXPECT_EQ(len, 16);
  const std::string keyLoad = "807805FF10" + toHex(kKey.data(), 16);
  EXPECT_EQ(card_.commandsHex(), Texts({keyLoad, keyLoad, "807800FF10" + toHex(plain.data(), 16)}));

  CtxHolder dec = acquire(1);
  card_.clear();
  Bytes twoBlocks = out;
  twoBlocks.insert(twoBlocks.end(), out.begin(), out.end());
  Bytes back(16);
  ASSERT_EQ(VORN_DAL_SSF33DecUpdate(dec.get(), twoBlocks.data(), 32, back.data(), &len), 0);
  EXPECT_EQ(len, 16);
  EXPECT_EQ(back, plain);
  EXPECT_EQ(card_.commandsHex(), Texts({keyLoad, "807801FF10" + toHex(out.data(), 16)}));
}

TEST_F(Ssf33EdgeTest, UnknownModeIsRefusedAfterTheKeyLoadButMacWorks) {
  CtxHolder ctx = acquire(5);
  card_.clear();
  Bytes in = message(32), out(32);
  int len = kUntouched;
  EXPECT_EQ(VORN_DAL_SSF33EncUpdate(ctx.get(), in.data(), 32, out.data(), &len), -163);
  EXPECT_TRUE(logTexts().empty());
  EXPECT_EQ(VORN_DAL_SSF33DecUpdate(ctx.get(), in.data(), 32, out.data(), &len), -163);
  EXPECT_EQ(logTexts(), Texts{"******>mode donnot support"});
  EXPECT_EQ(len, kUntouched);
  EXPECT_EQ(card_.countWithHeader({0x80, 0x78, 0x05}), 2u);
  EXPECT_EQ(card_.exchanges().size(), 2u);

  Bytes mac5(16), mac1(16);
  EXPECT_EQ(VORN_DAL_SSF33Mac(acquire(5).get(), in.data(), 32, mac5.data(), 16), 0);
  EXPECT_EQ(VORN_DAL_SSF33Mac(acquire(1).get(), in.data(), 32, mac1.data(), 16), 0);
  EXPECT_EQ(mac5, mac1);
}

class Ssf33RaggedCiphertextTest : public Ssf33EdgeTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(Ssf33RaggedCiphertextTest, DecryptLogsLengthThenFailureLines) {
  const Bytes in = message(GetParam());
  Bytes out(32);
  int len = kUntouched;
  EXPECT_EQ(VORN_DAL_SSF33Decrypt(acquire(2).get(), in.data(), GetParam(), out.data(), &len), -160);
  EXPECT_EQ(len, kUntouched);
  const std::string value = std::to_string(GetParam()) + (GetParam() == 0 ? ":0x0" : ":0x14");
  EXPECT_EQ(logTexts(), Texts({"VORN_DAL_SSF33Decrypt inDataLen=" + value, "******>indata length",
                               "******>Dev_SSF33DecFinal_PELU3"}));
}

INSTANTIATE_TEST_SUITE_P(EmptyAndTwenty, Ssf33RaggedCiphertextTest, ::testing::Values(0u, 20u));

struct PaddingCase {
  unsigned char lastByte;
  int result;
  int plainLen;
};

// Printed by hand: the default printer would read the struct's padding bytes.
void PrintTo(const PaddingCase& c, std::ostream* os) { *os << "last byte " << static_cast<int>(c.lastByte); }

class Ssf33PaddingTest : public Ssf33EdgeTest, public ::testing::WithParamInterface<PaddingCase> {};

// Only the last byte is checked: 0x03 after bytes other than 0x03 strips three.
TEST_P(Ssf33PaddingTest, LastPlaintextByteDecidesThePadding) {
  Bytes plain = message(16);
  plain[15] = GetParam().lastByte;
  Bytes cipher(16), out(16);
  int len = kUntouched;
  ASSERT_EQ(VORN_DAL_SSF33EncUpdate(acquire(1).get(), plain.data(), 16, cipher.data(), &len), 0);  // raw ECB block
  len = kUntouched;
  EXPECT_EQ(VORN_DAL_SSF33Decrypt(acquire(1).get(), cipher.data(), 16, out.data(), &len), GetParam().result);
  if (GetParam().result != 0) {
    EXPECT_EQ(len, kUntouched);
    EXPECT_EQ(logTexts(), Texts({"VORN_DAL_SSF33Decrypt inDataLen=16:0x10", "******>pad ",
                                 "******>Dev_SSF33DecFinal_PELU3"}));
    return;
  }
  ASSERT_EQ(len, GetParam().plainLen);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + len), Bytes(plain.begin(), plain.begin() + len));
}

INSTANTIATE_TEST_SUITE_P(LastBytes, Ssf33PaddingTest,
                         ::testing::Values(PaddingCase{0x00, -164, 0}, PaddingCase{0x11, -164, 0},
                                           PaddingCase{0x03, 0, 13}, PaddingCase{0x10, 0, 0}));

TEST_F(Ssf33EdgeTest, ContextsWithDifferentKeysUsedAlternately) {
  const Bytes data = message(100);
  CtxHolder a = acquire(2, kKey), b = acquire(2, kOtherKey);
  Bytes outA(128), outB(128);
  int atA = 0, atB = 0, len = 0;
  for (size_t at = 0; at < data.size(); at += 25) {
    ASSERT_EQ(VORN_DAL_SSF33EncUpdate(a.get(), data.data() + at, 25, outA.data() + atA, &len), 0);
    atA += len;
    ASSERT_EQ(VORN_DAL_SSF33EncUpdate(b.get(), data.data() + at, 25, outB.data() + atB, &len), 0);
    atB += len;
  }
  ASSERT_EQ(VORN_DAL_SSF33EncFinal(a.get(), outA.data() + atA, &len), 0);
  ASSERT_EQ(VORN_DAL_SSF33EncFinal(b.get(), outB.data() + atB, &len), 0);
  outA.resize(static_cast<size_t>(atA + len));
  outB.resize(static_cast<size_t>(atB + len));
  EXPECT_EQ(outA, encryptAlone(2, kKey, data));
  EXPECT_EQ(outB, encryptAlone(2, kOtherKey, data));
  EXPECT_NE(outA, outB);
}

// A refused key load sends no block and leaves the context as it was.
TEST_F(Ssf33EdgeTest, KeyLoadRefusedMidMessage) {
  const Bytes data = message(50);
  CtxHolder ctx = acquire(2);
  Bytes out(64);
  int first = 0, len = kUntouched;
  ASSERT_EQ(VORN_DAL_SSF33EncUpdate(ctx.get(), data.data(), 20, out.data(), &first), 0);
  card_.answerNth({0x80, 0x78, 0x05}, 1, 0x6A88);
  const size_t blocksBefore = card_.countWithHeader({0x80, 0x78, 0x00});
  EXPECT_EQ(VORN_DAL_SSF33EncUpdate(ctx.get(), data.data() + 20, 30, out.data() + first, &len), -165);
  EXPECT_EQ(len, kUntouched);
  EXPECT_EQ(card_.countWithHeader({0x80, 0x78, 0x00}), blocksBefore);
  EXPECT_EQ(logTexts(), Texts{"Import SSF33 Key27272:0x6A88"});

  int second = 0, last = 0;
  ASSERT_EQ(VORN_DAL_SSF33EncUpdate(ctx.get(), data.data() + 20, 30, out.data() + first, &second), 0);
  ASSERT_EQ(VORN_DAL_SSF33EncFinal(ctx.get(), out.data() + first + second, &last), 0);
  out.resize(static_cast<size_t>(first + second + last));
  EXPECT_EQ(out, encryptAlone(2, kKey, data));
}

// A 9000 answer with half a block must not give stale bytes as output.
TEST_F(Ssf33EdgeTest, ShortBlockAnswerIsRefused) {
  CtxHolder ctx = acquire(1);
  card_.answerNth({0x80, 0x78, 0x00}, 1, 0x9000, Bytes(8, 0x55));
  const Bytes in = message(16);
  Bytes out(16, 0xCC);
  int len = kUntouched;
  EXPECT_EQ(VORN_DAL_SSF33EncUpdate(ctx.get(), in.data(), 16, out.data(), &len), -165);
  EXPECT_EQ(len, kUntouched);
  EXPECT_EQ(out, Bytes(16, 0xCC));
  EXPECT_EQ(logTexts(), Texts{"X33Encrypt:65537:0x10001"});
}

// One pending byte, then 40: the completed block and the loop blocks fail at
// different sites, and the log tells them apart.
TEST_F(Ssf33EdgeTest, BlockRefusalsAreLoggedAtTheirOwnSites) {
  const Bytes data = message(41);
  for (int failing : {1, 2}) {
    CtxHolder ctx = acquire(2);
    Bytes out(48);
    int len = 0;
    ASSERT_EQ(VORN_DAL_SSF33EncUpdate(ctx.get(), data.data(), 1, out.data(), &len), 0);
    card_.answerNth({0x80, 0x78, 0x00}, failing, 0x6F00);
    EXPECT_EQ(VORN_DAL_SSF33EncUpdate(ctx.get(), data.data() + 1, 40, out.data(), &len), -165);
    card_.clearRules();
  }
  EXPECT_EQ(logTexts(), Texts({"X33Encrypt:28416:0x6F00", "X33Encrypt:28416:0x6F00"}));
  const Texts lines = logLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].substr(0, lines[0].find(" #")), lines[1].substr(0, lines[1].find(" #")));
}

class Ssf33EncFinalAfterDecryptionTest : public Ssf33EdgeTest, public ::testing::WithParamInterface<int> {};

// Decryption updates keep a whole block, which an encryption final refuses.
TEST_P(Ssf33EncFinalAfterDecryptionTest, WholePendingBlockIsRefused) {
  CtxHolder ctx = acquire(GetParam());
  const Bytes in = message(16);
  Bytes out(16);
  int len = kUntouched;
  ASSERT_EQ(VORN_DAL_SSF33DecUpdate(ctx.get(), in.data(), 16, out.data(), &len), 0);
  EXPECT_EQ(VORN_DAL_SSF33EncFinal(ctx.get(), out.data(), &len), GetParam() == 1 ? -200 : -160);
  EXPECT_EQ(logTexts(), Texts{"******>indata length"});
}

INSTANTIATE_TEST_SUITE_P(EcbAndCbc, Ssf33EncFinalAfterDecryptionTest, ::testing::Values(1, 2));

TEST_F(Ssf33EdgeTest, EncFinalLeavesTheContextUnchanged) {
  CtxHolder ctx = acquire(2);
  const Bytes in = message(20);
  Bytes out(16), first(16), second(16);
  int len = 0;
  ASSERT_EQ(VORN_DAL_SSF33EncUpdate(ctx.get(), in.data(), 20, out.data(), &len), 0);
  ASSERT_EQ(VORN_DAL_SSF33EncFinal(ctx.get(), first.data(), &len), 0);
  ASSERT_EQ(VORN_DAL_SSF33EncFinal(ctx.get(), second.data(), &len), 0);
  EXPECT_EQ(first, second);
}

TEST_F(Ssf33EdgeTest, MacLengthAboveABlockIsRefusedAfterTheUpdate) {
  const Bytes in = message(32);
  Bytes mac(17, 0xCC);
  EXPECT_EQ(VORN_DAL_SSF33Mac(acquire(1).get(), in.data(), 32, mac.data(), 17), -160);
  EXPECT_EQ(logTexts(), Texts({"******>mac length", "******>VORN_DAL_SSF33MacFinal"}));
  EXPECT_EQ(card_.countWithHeader({0x80, 0x78, 0x00}), 2u);
  EXPECT_EQ(mac, Bytes(17, 0xCC));

  EXPECT_EQ(VORN_DAL_SSF33Mac(acquire(1).get(), in.data(), 32, mac.data(), 0), 0);
  EXPECT_EQ(mac, Bytes(17, 0xCC));
  EXPECT_EQ(card_.countWithHeader({0x80, 0x78, 0x00}), 5u);
}

}  // namespace
