// Bad input to the software RSA public-key exports, which never open the
// device, and to the message lookup. Inputs sit in buffers of exactly their
// length, so that a read beyond them shows under the address sanitizer.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "hardening/bad_input.h"

namespace hardening {
namespace {

using testsupport::ScriptedCard;
using PublicOperation = int(VORN_DAL_CALL*)(const unsigned char*, unsigned int, const unsigned char*, int,
                                            unsigned char*, int*);

struct PublicExport {
  const char* name;
  PublicOperation call;
  const char* failureLog;
};

const PublicExport kExports[] = {
    {"Raw", VORN_DAL_RsaPublicKeyRaw, "******>XRSADecrypt"},
    {"Pkcs1Enc", VORN_DAL_Pkcs1RsaPublicKeyEnc, "******>Quenta_Pkcs1RsaPublicKeyEnc"},
    {"Pkcs1Dec", VORN_DAL_Pkcs1RsaPublicKeyDec, "******>Quenta_Pkcs1RsaPublicKeyDec"},
};

// An odd 1024-bit modulus: any value below it is a valid input block.
const Bytes& modulus() {
  static const Bytes n(128, 0xC3);
  return n;
}

// Calls op with the modulus length given and an input of exactly inputLen bytes
// (none when negative).
BadInputCase publicCase(const PublicExport& e, const std::string& name, unsigned modulusLen, int inputLen,
                        int expected, std::vector<std::string> log) {
  return {std::string(e.name) + name, TokenState::Fresh,
          [e, modulusLen, inputLen](Outputs& out, ScriptedCard&, BadInput&) {
            const Bytes input(inputLen > 0 ? static_cast<std::size_t>(inputLen) : 0, 0x01);
            return e.call(modulus().data(), modulusLen, input.data(), inputLen, out.buffer.data(), &out.length);
          },
          expected, kNoCommand, std::move(log)};
}

std::vector<BadInputCase> publicKeyCases() {
  std::vector<BadInputCase> cases;
  const std::vector<std::string> nLen{"******>n len"};
  const std::vector<std::string> nullPointer{"******>null pointer"};
  for (const PublicExport& e : kExports) {
    const std::vector<std::string> failed{e.failureLog};
    cases.push_back(publicCase(e, "LargestModulusLength", UINT_MAX, 128, VORN_DAL_ERR_MODULUS_LENGTH, nLen));
    cases.push_back(publicCase(e, "ModulusLengthWithHighBit", 0x80000080u, 128, VORN_DAL_ERR_MODULUS_LENGTH, nLen));
    cases.push_back(publicCase(e, "NegativeInputLength", 128, -1, VORN_DAL_ERR_RSA, failed));
    cases.push_back(publicCase(e, "MostNegativeInputLength", 128, INT_MIN, VORN_DAL_ERR_RSA, failed));
    cases.push_back({std::string(e.name) + "NoModulus", TokenState::Fresh,
                     [e](Outputs& out, ScriptedCard&, BadInput&) {
                       return e.call(nullptr, 128, modulus().data(), 128, out.buffer.data(), &out.length);
                     },
                     VORN_DAL_ERR_ARGUMENT, kNoCommand, nullPointer});
    cases.push_back({std::string(e.name) + "NoInputForALength", TokenState::Fresh,
                     [e](Outputs& out, ScriptedCard&, BadInput&) {
                       return e.call(modulus().data(), 128, nullptr, 100, out.buffer.data(), &out.length);
                     },
                     VORN_DAL_ERR_ARGUMENT, kNoCommand, nullPointer});
    cases.push_back({std::string(e.name) + "NoOutput", TokenState::Fresh,
                     [e](Outputs& out, ScriptedCard&, BadInput&) {
                       return e.call(modulus().data(), 128, modulus().data(), 100, nullptr, &out.length);
                     },
                     VORN_DAL_ERR_ARGUMENT, kNoCommand, nullPointer});
    cases.push_back({std::string(e.name) + "NoLengthOutput", TokenState::Fresh,
                     [e](Outputs& out, ScriptedCard&, BadInput&) {
                       return e.call(modulus().data(), 128, modulus().data(), 100, out.buffer.data(), nullptr);
                     },
                     VORN_DAL_ERR_ARGUMENT, kNoCommand, nullPointer});
  }
  // The raw operation and the recovery take exactly one block.
  for (const PublicExport& e : {kExports[0], kExports[2]}) {
    const std::vector<std::string> failed{e.failureLog};
    cases.push_back(publicCase(e, "InputOneByteShort", 128, 127, VORN_DAL_ERR_RSA, failed));
    cases.push_back(publicCase(e, "InputOneByteLong", 128, 129, VORN_DAL_ERR_RSA, failed));
    cases.push_back(publicCase(e, "InputOfTheLargerModulus", 128, 256, VORN_DAL_ERR_RSA, failed));
  }
  // PKCS#1 v1.5 encryption leaves room for at least 11 padding bytes.
  const PublicExport& enc = kExports[1];
  cases.push_back(publicCase(enc, "LongestData", 128, 117, 0, kNoLog));
  cases.push_back(publicCase(enc, "DataOneByteTooLong", 128, 118, VORN_DAL_ERR_RSA,
                             std::vector<std::string>{enc.failureLog}));
  cases.push_back(publicCase(enc, "EmptyData", 128, 0, 0, kNoLog));
  // A block of ones is below the modulus but carries no type-1 padding.
  cases.push_back(publicCase(kExports[2], "BlockWithoutPadding", 128, 128, VORN_DAL_ERR_RSA,
                             std::vector<std::string>{kExports[2].failureLog}));
  return cases;
}

INSTANTIATE_TEST_SUITE_P(RsaPublicKey, BadInput, ::testing::ValuesIn(publicKeyCases()), caseName);

// Every code, known or not, gives a terminated message that fits the
// 30-byte buffer that callers provide.
TEST(MessageLookup, EveryCodeFitsTheCallersBuffer) {
  std::vector<int> codes{INT_MIN, INT_MIN + 1, INT_MAX, 0x9000, 0x6983, -200, -1000};
  for (int code = -520; code <= 40; ++code) codes.push_back(code);
  for (const int code : codes) {
    std::vector<char> message(VORN_DAL_ERRMSG_SIZE, '\x7F');
    VORN_DAL_GetErrMsg(code, message.data());
    const void* end = std::memchr(message.data(), '\0', message.size());
    ASSERT_NE(end, nullptr) << "code " << code;
    EXPECT_GT(std::strlen(message.data()), 0u) << "code " << code;
  }
}

}  // namespace
}  // namespace hardening
