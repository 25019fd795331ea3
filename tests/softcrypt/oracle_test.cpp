// DES, two- and three-key triple DES and RC2 against OpenSSL's EVP ciphers,
// with random keys and messages, one-shot and streamed in uneven pieces.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>

#include "cipher_family.h"

namespace softcrypt_test {
namespace {

using OracleParam = std::tuple<const CipherFamily*, int /*keyLen*/, int /*mode*/>;

class CipherOracle : public testing::TestWithParam<OracleParam> {
 protected:
  const CipherFamily& family() const { return *std::get<0>(GetParam()); }
  int keyLen() const { return std::get<1>(GetParam()); }
  int mode() const { return std::get<2>(GetParam()); }

  Bytes randomBytes(std::size_t n) {
    Bytes out(n);
    for (auto& b : out) b = static_cast<unsigned char>(rng_());
    return out;
  }

  // Cuts n bytes into pieces of 0 to 19 bytes.
  std::vector<std::size_t> randomPieces(std::size_t n) {
    std::vector<std::size_t> pieces;
    while (n > 0) {
      const std::size_t piece = std::min<std::size_t>(n, rng_() % 20);
      pieces.push_back(piece);
      n -= piece;
    }
    return pieces;
  }

  void acquire(Context& ctx) {
    ASSERT_EQ(family().acquire(key_.data(), keyLen(), iv_.data(), mode(), 0, ctx.out()), 0);
  }

  // Feeds data piece by piece to update, then calls final; checks every call.
  Bytes stream(VORN_DAL_FN_UPDATE update, VORN_DAL_FN_FINAL final, const Bytes& data) {
    Context ctx;
    acquire(ctx);
    Bytes out;
    std::size_t at = 0;
    for (std::size_t piece : randomPieces(data.size())) {
      const CallOutput part =
          callUpdate(update, ctx.get(), Bytes(data.begin() + at, data.begin() + at + piece), piece + 16);
      EXPECT_EQ(part.code, 0);
      out = concat(out, part.data);
      at += piece;
    }
    const CallOutput last = callFinal(final, ctx.get());
    EXPECT_EQ(last.code, 0);
    return concat(out, last.data);
  }

  void SetUp() override {
    rng_.seed(static_cast<unsigned>(keyLen() * 31 + mode()));
    key_ = randomBytes(static_cast<std::size_t>(keyLen()));
    iv_ = randomBytes(8);
  }

  std::mt19937 rng_;
  Bytes key_;
  Bytes iv_;
};

TEST_P(CipherOracle, AgreesWithEvpOneShotAndStreamed) {
  const OracleCipher oracle = family().oracle(key_, mode());
  const Bytes oracleIv = mode() == 2 ? iv_ : Bytes{};
  for (std::size_t length : {0, 1, 7, 8, 9, 15, 16, 17, 31, 64, 65, 100, 255}) {
    SCOPED_TRACE("message length " + std::to_string(length));
    const Bytes message = randomBytes(length);
    const Bytes expected = evpCrypt(oracle, true, oracleIv, message, true);

    Context oneShot;
    acquire(oneShot);
    const CallOutput encrypted = callUpdate(family().encrypt, oneShot.get(), message, length + 8);
    ASSERT_EQ(encrypted.code, 0);
    EXPECT_EQ(encrypted.data, expected);
    EXPECT_EQ(stream(family().encUpdate, family().encFinal, message), expected);

    Context reverse;
    acquire(reverse);
    const CallOutput decrypted = callUpdate(family().decrypt, reverse.get(), expected, expected.size());
    ASSERT_EQ(decrypted.code, 0);
    EXPECT_EQ(decrypted.data, message);
    EXPECT_EQ(stream(family().decUpdate, family().decFinal, expected), message);
  }
}

std::string oracleName(const testing::TestParamInfo<OracleParam>& info) {
  return std::string(std::get<0>(info.param)->name) + "Key" + std::to_string(std::get<1>(info.param)) +
         (std::get<2>(info.param) == 2 ? "Cbc" : "Ecb");
}

INSTANTIATE_TEST_SUITE_P(Des, CipherOracle,
                         testing::Combine(testing::Values(&kDes), testing::Values(8, 16, 24, 32),
                                          testing::Values(1, 2)),
                         oracleName);
INSTANTIATE_TEST_SUITE_P(Rc2, CipherOracle,
                         testing::Combine(testing::Values(&kRc2), testing::Values(1, 5, 16, 40, 128, 200),
                                          testing::Values(1, 2)),
                         oracleName);

}  // namespace
}  // namespace softcrypt_test
