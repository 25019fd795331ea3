// Files under the MF: creation, selection, access conditions, bounds and the
// card's capacity.
#include "vtoken/describe.h"
#include "vtoken_test_util.h"

namespace vtoken::testing {
namespace {

class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override { formatCard(*token); }
  std::unique_ptr<Token> token = Token::inMemory();
};

TEST_F(FileSystemTest, NewTransparentFileIsZeroFilledAndWritable) {
  ASSERT_EQ(sw(*token, "80E0123407280010F0F0FFFF"), 0x9000);
  ASSERT_EQ(sw(*token, "00A40000021234"), 0x9000);
  EXPECT_EQ(toHex(send(*token, "00B0000010").data), std::string(32, '0'));
  ASSERT_EQ(sw(*token, "00D6000403AABBCC"), 0x9000);
  EXPECT_EQ(toHex(send(*token, "00B0000308").data), "00AABBCC00000000");
}

TEST_F(FileSystemTest, SelectOfMissingFileIsRefusedAndKeepsTheCurrentFile) {
  ASSERT_EQ(sw(*token, "00A40000021FF4"), 0x9000);
  EXPECT_EQ(sw(*token, "00A40000024321"), 0x6A82);
  EXPECT_EQ(send(*token, "00B0000002").sw, 0x9000);
}

TEST_F(FileSystemTest, ReadAndWriteNeedAnElementaryFile) {
  EXPECT_EQ(sw(*token, "00B0000002"), 0x6986);  // the reset left the MF current
  ASSERT_EQ(sw(*token, "00A40000023F00"), 0x9000);
  EXPECT_EQ(sw(*token, "00D600000101"), 0x6986);
}

TEST_F(FileSystemTest, CreateOfExistingIdIsRefusedAndKeepsTheFile) {
  loginUser(*token);
  ASSERT_EQ(sw(*token, "00A40000021FF4"), 0x9000);
  ASSERT_EQ(sw(*token, "00D600000200 03"), 0x9000);
  EXPECT_EQ(sw(*token, "80E01FF4072800 40F0F0FFFF"), 0x6A89);
  ASSERT_EQ(sw(*token, "00A40000021FF4"), 0x9000);
  const Answer answer = send(*token, "00B0000008");
  EXPECT_EQ(toHex(answer.data), "0003000000000000");  // still 8 bytes with its content
  EXPECT_EQ(sw(*token, "00B0000009"), 0x6B00);
}

TEST_F(FileSystemTest, KeyFileIsNeitherReadableNorWritable) {
  ASSERT_EQ(sw(*token, "00A40000020000"), 0x9000);
  EXPECT_EQ(sw(*token, "00B0000001"), 0x6981);
  EXPECT_EQ(sw(*token, "00D600000100"), 0x6981);
}

TEST_F(FileSystemTest, PrivateKeyFileIsNeverReadableEvenWhenLoggedIn) {
  loginUser(*token);
  ASSERT_EQ(sw(*token, "80E00002073D0150AAAAEFFF"), 0x9000);
  ASSERT_EQ(sw(*token, "00A40000020002"), 0x9000);
  EXPECT_EQ(sw(*token, "00D6000001FF"), 0x9000);  // writing is admitted in state A
  EXPECT_EQ(sw(*token, "00B0000001"), 0x6982);
}

// Reads and writes past the end refuse the whole command and change nothing.
struct BoundsCase {
  const char* name;
  const char* command;
  std::uint16_t sw;
};

class BoundsTest : public FileSystemTest, public ::testing::WithParamInterface<BoundsCase> {};

TEST_P(BoundsTest, RefusesBeyondTheEnd) {
  ASSERT_EQ(sw(*token, "80E0500007280020F0F0FFFF"), 0x9000);  // 32 bytes
  ASSERT_EQ(sw(*token, "00D6001808" "0102030405060708"), 0x9000);
  EXPECT_EQ(sw(*token, GetParam().command), GetParam().sw);
  EXPECT_EQ(toHex(send(*token, "00B0001808").data), "0102030405060708");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BoundsTest,
    ::testing::Values(BoundsCase{"ReadUpToTheEnd", "00B0000020", 0x9000},
                      BoundsCase{"ReadOneByteTooMany", "00B0000021", 0x6B00},
                      BoundsCase{"ReadAtTheEnd", "00B0002001", 0x6B00},
                      BoundsCase{"ReadFarOffset", "00B0FFFF01", 0x6B00},
                      BoundsCase{"ReadLeZeroIs256", "00B0000000", 0x6B00},
                      BoundsCase{"WriteCrossingTheEnd", "00D6001C05FFFFFFFFFF", 0x6B00},
                      BoundsCase{"WriteAtTheEnd", "00D6002001FF", 0x6B00},
                      BoundsCase{"WriteFarOffset", "00D6FFF002FFFF", 0x6B00}),
    [](const ::testing::TestParamInfo<BoundsCase>& info) { return std::string(info.param.name); });

// Access bytes against security states: F0 any, AA only A, CC only C.
struct AccessCase {
  std::uint8_t accessByte;
  int login;  // 0 none, 1 user (A), 2 super user (C), 3 logout PIN (7)
  bool admitted;
};

class AccessTest : public FileSystemTest, public ::testing::WithParamInterface<AccessCase> {
 protected:
  void enterState(int login) {
    static const Bytes* const kPins[] = {nullptr, &kUserPin, &kSuperPin, &kLogoutPin};
    if (login != 0) {
      ASSERT_EQ(sw(*token, verifyCommand(static_cast<std::uint8_t>(login), *kPins[login])), 0x9000);
    }
  }
};

TEST_P(AccessTest, ReadAccessByte) {
  const auto [accessByte, login, admitted] = GetParam();
  ASSERT_EQ(sw(*token, concat(fromHex("80E06000072800 08"), Bytes{accessByte, 0xF0, 0xFF, 0xFF})), 0x9000);
  enterState(login);
  ASSERT_EQ(sw(*token, "00A40000026000"), 0x9000);
  EXPECT_EQ(sw(*token, "00B0000002"), admitted ? 0x9000 : 0x6982);
}

TEST_P(AccessTest, WriteAccessByte) {
  const auto [accessByte, login, admitted] = GetParam();
  ASSERT_EQ(sw(*token, concat(fromHex("80E06000072800 08"), Bytes{0xF0, accessByte, 0xFF, 0xFF})), 0x9000);
  enterState(login);
  ASSERT_EQ(sw(*token, "00A40000026000"), 0x9000);
  EXPECT_EQ(sw(*token, "00D6000002ABCD"), admitted ? 0x9000 : 0x6982);
  token->reset();  // read back in any state through a free read byte
  ASSERT_EQ(sw(*token, "00A40000026000"), 0x9000);
  EXPECT_EQ(toHex(send(*token, "00B0000002").data), admitted ? "ABCD" : "0000");
}

INSTANTIATE_TEST_SUITE_P(Cases, AccessTest,
                         ::testing::Values(AccessCase{0xF0, 0, true}, AccessCase{0xF0, 1, true},
                                           AccessCase{0xF0, 2, true}, AccessCase{0xAA, 0, false},
                                           AccessCase{0xAA, 1, true}, AccessCase{0xAA, 2, false},
                                           AccessCase{0xAA, 3, false}, AccessCase{0xCC, 0, false},
                                           AccessCase{0xCC, 1, false}, AccessCase{0xCC, 2, true},
                                           AccessCase{0xFF, 1, false}, AccessCase{0xFF, 2, false}));

TEST_F(FileSystemTest, FullCardRefusesCreateUntilErased) {
  const std::size_t before = describeToken(*token).used;
  int created = 0;
  std::uint16_t status = 0x9000;
  for (std::uint16_t id = 0x2000; status == 0x9000; ++id) {
    status = sw(*token, concat({0x80, 0xE0, static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 0x07},
                               fromHex("280400F0F0FFFF")));
    created += status == 0x9000 ? 1 : 0;
  }
  EXPECT_EQ(status, 0x6A84);
  const TokenDescription full = describeToken(*token);
  EXPECT_EQ(created, static_cast<int>((full.capacity - before) / (0x400 + 16)));
  EXPECT_LT(full.capacity - full.used, 0x400u + 16);
  // A smaller file still fits in what is left.
  EXPECT_EQ(sw(*token, "80E07000072800 10F0F0FFFF"), 0x9000);
  ASSERT_EQ(externalAuth(*token, kOwnKey), 0x9000);
  ASSERT_EQ(sw(*token, "800E000000"), 0x9000);
  EXPECT_EQ(describeToken(*token).used, 0u);
  EXPECT_EQ(sw(*token, "80E02000072804 00F0F0FFFF"), 0x9000);
}

TEST_F(FileSystemTest, KeyFileSpaceLimitsKeyObjects) {
  ASSERT_EQ(externalAuth(*token, kOwnKey), 0x9000);
  // The formatted key file (103 bytes) holds 83 bytes of keys: one more PIN
  // object fits (15 bytes), a second does not.
  EXPECT_EQ(sw(*token, writeKeyCommand(0x05, "3AF0EF0A66", kUserPin)), 0x9000);
  EXPECT_EQ(sw(*token, writeKeyCommand(0x06, "3AF0EF0A66", kUserPin)), 0x6A84);
  // Replacing an existing object reuses its space.
  EXPECT_EQ(sw(*token, writeKeyCommand(0x05, "3AF0EF0A33", kSuperPin)), 0x9000);
}

}  // namespace
}  // namespace vtoken::testing
