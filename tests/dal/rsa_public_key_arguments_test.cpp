// Argument handling of the RSA exports: modulus and data lengths, and null
// buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "dal/connection.h"
#include "support/dal_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using PublicOperation = int(VORN_DAL_CALL*)(const unsigned char*, unsigned int, const unsigned char*, int,
                                            unsigned char*, int*);

struct Operation {
  const char* name;
  PublicOperation call;
};

const Operation kOperations[] = {{"Raw", VORN_DAL_RsaPublicKeyRaw},
                                 {"Pkcs1Enc", VORN_DAL_Pkcs1RsaPublicKeyEnc},
                                 {"Pkcs1Dec", VORN_DAL_Pkcs1RsaPublicKeyDec}};

void PrintTo(const Operation& operation, std::ostream* os) { *os << operation.name; }

class RsaModulusLength : public testsupport::DalTest,
                         public ::testing::WithParamInterface<std::tuple<Operation, unsigned>> {};

TEST_P(RsaModulusLength, OnlyTheTwoSizesAreAcceptedAndTheDeviceStaysClosed) {
  const auto& [operation, modulusLen] = GetParam();
  const Bytes modulus(512, 0xC3);
  const Bytes input(512, 0x01);
  Bytes out(512, 0xEE);
  int outLen = -7;
  EXPECT_EQ(VORN_DAL_ERR_MODULUS_LENGTH,
            operation.call(modulus.data(), modulusLen, input.data(), static_cast<int>(modulusLen), out.data(), &outLen));
  EXPECT_EQ(outLen, -7);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::uint8_t b) { return b == 0xEE; }));
  EXPECT_EQ(logTexts(), std::vector<std::string>{"******>n len"});
  EXPECT_EQ(pelu7::readerHandle, pelu7::kNoReader);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RsaModulusLength,
                         ::testing::Combine(::testing::ValuesIn(kOperations),
                                            ::testing::Values(0u, 64u, 127u, 129u, 512u)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::to_string(std::get<1>(info.param));
                         });

// A 1024-bit odd modulus whose first byte is zero: the key is shorter than
// the 128 bytes that the raw operation demands, so no input can pass.
class RsaRawOperation : public testsupport::DalTest {};

TEST_F(RsaRawOperation, ALeadingZeroModulusRefusesEveryInput) {
  Bytes modulus(128, 0xB7);
  modulus[0] = 0x00;
  Bytes small(128, 0x00);
  small[127] = 0x02;
  for (const Bytes& input : {Bytes(128, 0x00), small, Bytes(128, 0x01)}) {
    unsigned char out[128];
    int outLen = -7;
    EXPECT_EQ(VORN_DAL_ERR_RSA, VORN_DAL_RsaPublicKeyRaw(modulus.data(), 128, input.data(), 128, out, &outLen));
    EXPECT_EQ(outLen, -7);
  }
  // The same bytes with a non-zero first byte make a usable key.
  modulus[0] = 0xB7;
  unsigned char out[128];
  int outLen = 0;
  EXPECT_EQ(0, VORN_DAL_RsaPublicKeyRaw(modulus.data(), 128, small.data(), 128, out, &outLen));
  EXPECT_EQ(outLen, 128);
}

TEST_F(RsaRawOperation, InputMustBeAsLongAsTheModulus) {
  const Bytes modulus(128, 0xB7);
  const Bytes input(129, 0x01);
  unsigned char out[256];
  for (int length : {127, 129, 0, -128, 256}) {
    int outLen = -7;
    EXPECT_EQ(VORN_DAL_ERR_RSA, VORN_DAL_RsaPublicKeyRaw(modulus.data(), 128, input.data(), length, out, &outLen));
    EXPECT_EQ(outLen, -7);
  }
}

// Null buffers are outside the interface; the exports refuse them where they
// would otherwise be read or written.
class RsaNullArguments : public testsupport::DalTest {};

TEST_F(RsaNullArguments, AreRefusedBeforeAnyCommand) {
  const Bytes key(128, 0xB7);
  unsigned char out[128];
  int value = 0;
  EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, VORN_DAL_GenRsaKeyPair(1024, nullptr, &value));
  EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, VORN_DAL_GetPublicKey(1, nullptr, &value));
  EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, VORN_DAL_ImportRsaKeyPair(nullptr, key.data(), nullptr, key.data(), nullptr,
                                                             key.data(), key.data(), key.data(), &value, &value));
  EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, VORN_DAL_RsaPrivateKeyRaw(2, nullptr, 128, out, &value));
  for (const Operation& operation : kOperations) {
    EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, operation.call(key.data(), 128, key.data(), 128, nullptr, &value));
    EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, operation.call(nullptr, 128, key.data(), 128, out, &value));
    EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, operation.call(key.data(), 128, nullptr, 128, out, &value));
  }
}

}  // namespace
