// Symmetric ciphers through the tool, compared with the openssl command (the
// token computes SM4 in place of SSF33, which OpenSSL also knows).
#include <string>

#include "tool_fixture.h"

namespace tooltest {
namespace {

using ::testing::HasSubstr;

struct CipherCase {
  const char* alg;
  const char* key;
  const char* iv;  // empty for ECB and RC4
  const char* opensslCipher;
  bool legacy;  // OpenSSL keeps the cipher in its legacy provider
};

void PrintTo(const CipherCase& c, std::ostream* out) { *out << c.alg << " as " << c.opensslCipher; }

class ToolCipherTest : public ToolTest, public ::testing::WithParamInterface<CipherCase> {
 protected:
  std::vector<std::string> cipherArgs(const char* command) const {
    const CipherCase& c = GetParam();
    std::vector<std::string> args{command, "--alg", c.alg, "--key", c.key};
    if (*c.iv != '\0') args.insert(args.end(), {"--iv", c.iv});
    return args;
  }
};

TEST_P(ToolCipherTest, AgreesWithOpensslAndDecryptsBack) {
  const CipherCase& c = GetParam();
  writeText("plain.bin", "The quick brown fox jumps over the lazy dog, twice over.");

  std::vector<std::string> encrypt = cipherArgs("encrypt");
  encrypt.insert(encrypt.end(), {"--in", path("plain.bin"), "--out", path("tool.bin")});
  RunResult r = pelu7(encrypt);
  ASSERT_EQ(r.status, 0) << describe(r);

  std::vector<std::string> reference{"enc", std::string("-") + c.opensslCipher, "-K", c.key, "-in", "plain.bin",
                                     "-out", "openssl.bin"};
  if (*c.iv != '\0') reference.insert(reference.end(), {"-iv", c.iv});
  if (c.legacy) reference.insert(reference.end(), {"-provider", "legacy", "-provider", "default"});
  r = openssl(reference);
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(readText("tool.bin"), readText("openssl.bin"));

  std::vector<std::string> decrypt = cipherArgs("decrypt");
  decrypt.insert(decrypt.end(), {"--in", path("tool.bin"), "--out", path("back.bin")});
  r = pelu7(decrypt);
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(readText("back.bin"), readText("plain.bin"));
}

INSTANTIATE_TEST_SUITE_P(
    Algorithms, ToolCipherTest,
    ::testing::Values(CipherCase{"des", "0123456789abcdef", "1122334455667788", "des-cbc", true},
                      CipherCase{"3des", "0123456789abcdeffedcba9876543210", "", "des-ede", false},
                      CipherCase{"3des", "0123456789abcdeffedcba98765432100011223344556677", "1122334455667788",
                                 "des-ede3-cbc", false},
                      CipherCase{"rc2", "00112233445566778899aabbccddeeff", "1122334455667788", "rc2-cbc", true},
                      CipherCase{"rc4", "000102030405060708090a0b0c0d0e0f", "", "rc4", true},
                      CipherCase{"ssf33", "00112233445566778899aabbccddeeff", "", "sm4-ecb", false},
                      CipherCase{"ssf33", "00112233445566778899aabbccddeeff", "0f0e0d0c0b0a09080706050403020100",
                                 "sm4-cbc", false}));

struct MacCase {
  const char* alg;
  const char* key;
  const char* zeroIv;
  const char* opensslCipher;
};

void PrintTo(const MacCase& c, std::ostream* out) { *out << c.alg; }

class ToolMacTest : public ToolTest, public ::testing::WithParamInterface<MacCase> {};

// A CBC-MAC is the last block of the CBC encryption from a zero IV.
TEST_P(ToolMacTest, IsTheLastBlockOfCbcFromZero) {
  const MacCase& c = GetParam();
  writeText("data.bin", "authenticate these forty-one bytes please");
  RunResult r = pelu7({"mac", "--alg", c.alg, "--key", c.key, "--in", path("data.bin"), "--out", path("mac.bin")});
  ASSERT_EQ(r.status, 0) << describe(r);
  r = openssl({"enc", std::string("-") + c.opensslCipher, "-K", c.key, "-iv", c.zeroIv, "-in", "data.bin", "-out",
               "cbc.bin"});
  ASSERT_EQ(r.status, 0) << describe(r);
  const std::string cbc = readText("cbc.bin");
  const std::string mac = readText("mac.bin");
  ASSERT_EQ(mac.size(), std::string(c.zeroIv).size() / 2);
  EXPECT_EQ(mac, cbc.substr(cbc.size() - mac.size()));

  r = pelu7({"mac", "--alg", c.alg, "--key", c.key, "--mac-len", "4", "--in", path("data.bin"), "--hex"});
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(r.out.size(), 9u);
}

INSTANTIATE_TEST_SUITE_P(Algorithms, ToolMacTest,
                         ::testing::Values(MacCase{"3des", "0123456789abcdeffedcba9876543210", "0000000000000000",
                                                   "des-ede-cbc"},
                                           MacCase{"ssf33", "00112233445566778899aabbccddeeff",
                                                   "00000000000000000000000000000000", "sm4-cbc"}));

TEST_F(ToolTest, CiphertextOfWrongLengthIsTheLibrarysLengthError) {
  const RunResult r = pelu7({"decrypt", "--alg", "3des", "--key", "0123456789abcdeffedcba9876543210", "--in-hex",
                             "00112233445566"});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("decrypt: error -160: 数据长度错误"));
}

}  // namespace
}  // namespace tooltest
