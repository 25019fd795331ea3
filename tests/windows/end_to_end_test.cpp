// The main job of a Windows host program on a virtual token file, through
// the table of vorn_dal_pelu7.dll loaded by name: format, login, PIN change,
// files, an RSA key pair generated on the card whose private operation the
// software public operation undoes, SSF33, random bytes and messages.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "loaded_dal.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

const Bytes kSuperPin = bytesOf("87654321");
const Bytes kUserPin = bytesOf("12345678");
const Bytes kNewUserPin = bytesOf("24681357");

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    wintest::useTokenFile(folder_.file("a.vtoken"));
    ASSERT_TRUE(dal_.loaded()) << "LoadLibrary failed, error " << GetLastError();
    ASSERT_EQ(0, f().Initialize());
    ASSERT_EQ(0, f().FormatDevice(kSuperPin.data(), 8, kUserPin.data(), 8));
  }
  void TearDown() override { f().Finalize(); }
  const DalFunctionList& f() const { return dal_.table(); }

  wintest::TempFolder folder_;
  wintest::LoadedDal dal_;
};

TEST_F(EndToEnd, LoginAndPinChange) {
  int loggedIn = -1;
  EXPECT_EQ(0, f().IsLogin(VORN_DAL_USER, &loggedIn));
  EXPECT_EQ(0, loggedIn);
  ASSERT_EQ(0, f().Login(VORN_DAL_USER, kUserPin.data(), 8));
  EXPECT_EQ(0, f().IsLogin(VORN_DAL_USER, &loggedIn));
  EXPECT_EQ(1, loggedIn);
  ASSERT_EQ(0, f().ChangePin(VORN_DAL_USER, kUserPin.data(), 8, kNewUserPin.data(), 8));
  EXPECT_EQ(0, f().Logout(VORN_DAL_USER));
  EXPECT_NE(0, f().Login(VORN_DAL_USER, kUserPin.data(), 8));
  EXPECT_EQ(0, f().Login(VORN_DAL_USER, kNewUserPin.data(), 8));
}

TEST_F(EndToEnd, FilesKeepWhatIsWritten) {
  ASSERT_EQ(0, f().Login(VORN_DAL_USER, kUserPin.data(), 8));
  const Bytes info = bytesOf("global information");
  ASSERT_EQ(0, f().CreateGlobalInfoFile(64));
  ASSERT_EQ(0, f().WriteGlobalInfoFile(4, static_cast<int>(info.size()), info.data()));
  Bytes read(info.size());
  ASSERT_EQ(0, f().ReadGlobalInfoFile(4, static_cast<int>(read.size()), read.data()));
  EXPECT_EQ(read, info);

  const Bytes data = bytesOf("user data on the card");
  ASSERT_EQ(0, f().CreateUsrDataFile(1, 5, 100, 0, 0));
  ASSERT_EQ(0, f().WriteUsrDataFile(1, 5, 10, static_cast<int>(data.size()), data.data()));
  Bytes back(data.size());
  ASSERT_EQ(0, f().ReadUsrDataFile(1, 5, 10, static_cast<int>(back.size()), back.data()));
  EXPECT_EQ(back, data);
  EXPECT_EQ(0, f().DeleteUsrDataFile(1, 5));
  EXPECT_NE(0, f().ReadUsrDataFile(1, 5, 10, static_cast<int>(back.size()), back.data()));
}

// The card's private operation on a block, undone by the software public
// operation with the modulus the card gives out.
TEST_F(EndToEnd, GeneratedKeyPrivateOperationIsUndoneByThePublicOne) {
  ASSERT_EQ(0, f().Login(VORN_DAL_USER, kUserPin.data(), 8));
  int publicId = 0, privateId = 0;
  ASSERT_EQ(0, f().GenRsaKeyPair(1024, &publicId, &privateId));
  unsigned char modulus[128];
  int modulusLength = 0;
  ASSERT_EQ(0, f().GetPublicKey(publicId, modulus, &modulusLength));
  ASSERT_EQ(128, modulusLength);

  Bytes block(128);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 7 + 1);
  block[0] = 0;  // below the modulus
  unsigned char signature[128];
  int signatureLength = 0;
  ASSERT_EQ(0, f().RsaPrivateKeyRaw(privateId, block.data(), 128, signature, &signatureLength));
  ASSERT_EQ(128, signatureLength);
  EXPECT_NE(Bytes(signature, signature + 128), block);
  unsigned char recovered[128];
  int recoveredLength = 0;
  ASSERT_EQ(0, f().RsaPublicKeyRaw(modulus, 128, signature, 128, recovered, &recoveredLength));
  EXPECT_EQ(Bytes(recovered, recovered + recoveredLength), block);
}

TEST_F(EndToEnd, Ssf33RoundTripsOnTheCard) {
  ASSERT_EQ(0, f().Login(VORN_DAL_USER, kUserPin.data(), 8));
  const Bytes key = bytesOf("0123456789abcdef");
  const Bytes iv = bytesOf("fedcba9876543210");
  const Bytes plain = bytesOf("thirty-two bytes of plain text!!");
  for (int mode : {VORN_DAL_MODE_ECB, VORN_DAL_MODE_CBC}) {
    void* enc = nullptr;
    ASSERT_EQ(0, f().SSF33AcquireContext(key.data(), 16, iv.data(), mode, 0, &enc)) << mode;
    Bytes cipher(plain.size() + 16);
    int cipherLength = 0;
    ASSERT_EQ(0, f().SSF33Encrypt(enc, plain.data(), static_cast<unsigned>(plain.size()), cipher.data(), &cipherLength));
    f().SSF33ReleaseCtx(enc);
    cipher.resize(static_cast<std::size_t>(cipherLength));
    EXPECT_NE(Bytes(cipher.begin(), cipher.begin() + 32), plain);

    void* dec = nullptr;
    ASSERT_EQ(0, f().SSF33AcquireContext(key.data(), 16, iv.data(), mode, 0, &dec));
    Bytes back(cipher.size() + 16);
    int backLength = 0;
    ASSERT_EQ(0, f().SSF33Decrypt(dec, cipher.data(), static_cast<unsigned>(cipher.size()), back.data(), &backLength));
    f().SSF33ReleaseCtx(dec);
    back.resize(static_cast<std::size_t>(backLength));
    EXPECT_EQ(back, plain) << mode;
  }
}

TEST_F(EndToEnd, RandomBytesDifferBetweenCalls) {
  std::array<unsigned char, 32> first{}, second{};
  ASSERT_EQ(0, f().GenRand(first.size(), first.data()));
  ASSERT_EQ(0, f().GenRand(second.size(), second.data()));
  EXPECT_NE(first, second);
}

// The GBK text of a code, against the system's own UTF-16 to GBK conversion.
std::string gbk(const wchar_t* text) {
  char out[64] = {};
  const int length = WideCharToMultiByte(936, 0, text, -1, out, sizeof out, nullptr, nullptr);
  return length > 0 ? std::string(out) : std::string("(no GBK)");
}

TEST_F(EndToEnd, MessagesAreTheGbkTextsOfTheCodes) {
  const struct {
    int code;
    const wchar_t* text;
  } cases[] = {{VORN_DAL_ERR_CREATE_LOCK, L"\u521b\u5efa\u540c\u6b65\u5bf9\u8c61\u5931\u8d25"},
               {VORN_DAL_ERR_LOCK, L"\u540c\u6b65\u64cd\u4f5c\u5931\u8d25"}};
  for (const auto& c : cases) {
    char message[VORN_DAL_ERRMSG_SIZE + 2] = {};
    f().GetErrMsg(c.code, message);
    EXPECT_EQ(std::string(message), gbk(c.text)) << c.code;
  }
}

}  // namespace
