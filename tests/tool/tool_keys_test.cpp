// RSA keys through the tool, checked with the openssl command: exported
// public keys read by OpenSSL, signatures verified by OpenSSL, keys made by
// OpenSSL imported into the token.
#include "tool_fixture.h"

namespace tooltest {
namespace {

using ::testing::HasSubstr;

class ToolKeyTest : public ToolTest {
 protected:
  void SetUp() override {
    formatToken();
    loginUser();
    writeText("message.txt", "pay 100 to Alice\n");
  }

  void expectVerifies(const std::string& publicKey, const std::string& signature, const std::string& message) {
    const RunResult r = openssl({"dgst", "-sha256", "-verify", publicKey, "-signature", signature, message});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_THAT(r.out, HasSubstr("Verified OK"));
  }
};

TEST_F(ToolKeyTest, GeneratedKeySignsWhatOpensslVerifies) {
  RunResult r = pelu7({"key", "generate"});
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(r.out, "key pair generated: public key id 1, private key id 2\n");

  ASSERT_EQ(pelu7({"key", "export", "1", "--out", path("pub.pem")}).status, 0);
  ASSERT_EQ(pelu7({"key", "export", "1", "--der", "--out", path("pub.der")}).status, 0);
  r = openssl({"pkey", "-pubin", "-in", "pub.pem", "-noout", "-text"});
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_THAT(r.out, HasSubstr("Public-Key: (1024 bit)"));
  EXPECT_THAT(r.out, HasSubstr("Exponent: 65537"));
  r = openssl({"pkey", "-pubin", "-inform", "DER", "-in", "pub.der"});
  EXPECT_EQ(r.out, readText("pub.pem")) << "DER and PEM export differ";

  r = pelu7({"sign", "1", path("message.txt"), "--out", path("message.sig")});
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(readText("message.sig").size(), 128u);
  expectVerifies("pub.pem", "message.sig", "message.txt");

  // The same key named by its private id; a changed message no longer verifies.
  ASSERT_EQ(pelu7({"sign", "2", "--private", path("message.txt"), "--out", path("again.sig")}).status, 0);
  expectVerifies("pub.pem", "again.sig", "message.txt");
  writeText("forged.txt", "pay 900 to Alice\n");
  r = openssl({"dgst", "-sha256", "-verify", "pub.pem", "-signature", "message.sig", "forged.txt"});
  EXPECT_NE(r.status, 0);
}

TEST_F(ToolKeyTest, KeyMadeByOpensslIsImportedAndUsed) {
  RunResult r = openssl({"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024", "-out", "key.pem"});
  ASSERT_EQ(r.status, 0) << describe(r);
  ASSERT_EQ(openssl({"pkey", "-in", "key.pem", "-pubout", "-out", "openssl_pub.pem"}).status, 0);

  r = pelu7({"key", "import", "--pem", path("key.pem")});
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(r.out, "key pair imported: public key id 1, private key id 2\n");
  ASSERT_EQ(pelu7({"key", "export", "1", "--out", path("token_pub.pem")}).status, 0);
  EXPECT_EQ(readText("token_pub.pem"), readText("openssl_pub.pem"));

  ASSERT_EQ(pelu7({"sign", "1", path("message.txt"), "--out", path("message.sig")}).status, 0);
  expectVerifies("openssl_pub.pem", "message.sig", "message.txt");
}

TEST_F(ToolKeyTest, KeysTheTokenCannotHoldAreRefused) {
  ASSERT_EQ(openssl({"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", "big.pem"}).status,
            0);
  RunResult r = pelu7({"key", "import", "--pem", path("big.pem")});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("1024-bit keys only"));

  ASSERT_EQ(openssl({"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024", "-pkeyopt",
                     "rsa_keygen_pubexp:3", "-out", "e3.pem"})
                .status,
            0);
  r = pelu7({"key", "import", "--pem", path("e3.pem")});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("65537"));
}

TEST_F(ToolKeyTest, SigningWithAKeyThatIsNotThereFailsWithTheCardsError) {
  const RunResult r = pelu7({"sign", "5", path("message.txt"), "--out", path("none.sig")});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("sign: error -161: RSA运算出错"));
}

}  // namespace
}  // namespace tooltest
