// User data files against a formatted virtual token: their card ids and
// headers, the access classes, deletion marks, and transfers of any size.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "card_expectations.h"
#include "support/dal_fixture.h"
#include "support/scripted_card.h"

namespace {

using e2e::commandHex;
using testsupport::ScriptedCard;

constexpr int kNobody = 0;
constexpr int kUserRole = VORN_DAL_USER;
constexpr int kSuperRole = VORN_DAL_SUPER_USER;

std::vector<unsigned char> pattern(size_t n, unsigned seed) {
  std::vector<unsigned char> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(i * 29 + seed);
  return data;
}

const char* accessHex(int accessClass) { return accessClass == 0 ? "F0" : accessClass == 1 ? "AA" : "CC"; }

class UserDataFilesTest : public testsupport::DalTest {
 protected:
  void SetUp() override {
    DalTest::SetUp();
    formatToken();
  }
  // Logs in the role that an access class needs (class 0 needs none).
  void loginFor(int accessClass) {
    if (accessClass == 1) loginUser();
    if (accessClass == 2) loginSuperUser();
  }
  void loginAs(int role) {
    if (role == kUserRole) loginUser();
    if (role == kSuperRole) loginSuperUser();
  }
  static int write(int type, int number, int offset, const std::vector<unsigned char>& data) {
    return VORN_DAL_WriteUsrDataFile(type, number, offset, static_cast<int>(data.size()), data.data());
  }
  static std::vector<unsigned char> read(int type, int number, int offset, int length, int expectedResult = 0) {
    std::vector<unsigned char> out(static_cast<size_t>(length), 0xEE);
    EXPECT_EQ(expectedResult, VORN_DAL_ReadUsrDataFile(type, number, offset, length, out.data()));
    return out;
  }
};

class UsrDataAccessClasses : public UserDataFilesTest, public ::testing::WithParamInterface<std::tuple<int, int>> {};

// Type 1 number 5 of 100 bytes is card file 0205 of 102 bytes with a live
// header; its header reads back 01 for whoever may read the file.
TEST_P(UsrDataAccessClasses, CreateSendsTheClassesAccessBytesAndMarksTheFileLive) {
  const auto [readClass, writeClass] = GetParam();
  loginFor(writeClass);
  {
    ScriptedCard card;
    ASSERT_EQ(0, VORN_DAL_CreateUsrDataFile(1, 5, 100, readClass, writeClass));
    EXPECT_EQ(card.commandsHex(),
              (std::vector<std::string>{std::string("80E0020507280066") + accessHex(readClass) + accessHex(writeClass) +
                                            "FFFF",
                                        "00A40000020205", "00D60000020100"}));
  }
  loginFor(readClass);
  ScriptedCard card;
  unsigned char unused = 0;
  ASSERT_EQ(0, VORN_DAL_ReadUsrDataFile(1, 5, 0, 0, &unused));
  // A read of length 0 still checks the header, and sends nothing more.
  ASSERT_EQ(card.commandsHex(), (std::vector<std::string>{"00A40000020205", "00B0000002"}));
  ASSERT_EQ(card.exchanges()[1].data.size(), 2u);
  EXPECT_EQ(card.exchanges()[1].data[0], 0x01);
}

INSTANTIATE_TEST_SUITE_P(ReadAndWrite, UsrDataAccessClasses,
                         ::testing::Combine(::testing::Values(0, 1, 2), ::testing::Values(0, 1, 2)),
                         [](const ::testing::TestParamInfo<std::tuple<int, int>>& info) {
                           return "Read" + std::to_string(std::get<0>(info.param)) + "Write" +
                                  std::to_string(std::get<1>(info.param));
                         });

struct FileIdCase {
  int type;
  int number;
  const char* fileIdHex;
};

class UsrDataFileIds : public UserDataFilesTest, public ::testing::WithParamInterface<FileIdCase> {};

TEST_P(UsrDataFileIds, TypeAndNumberNameTheCardFile) {
  const FileIdCase& c = GetParam();
  ScriptedCard card;
  ASSERT_EQ(0, VORN_DAL_CreateUsrDataFile(c.type, c.number, 1, 0, 0));
  ASSERT_FALSE(card.exchanges().empty());
  EXPECT_EQ(card.commandsHex()[0], std::string("80E0") + c.fileIdHex + "07280003F0F0FFFF");
}

INSTANTIATE_TEST_SUITE_P(Ids, UsrDataFileIds,
                         ::testing::Values(FileIdCase{1, 0, "0200"}, FileIdCase{1, 5, "0205"},
                                           FileIdCase{2, 5, "0405"}, FileIdCase{3, 0x1FF, "07FF"},
                                           FileIdCase{1, 0x200, "0400"}, FileIdCase{2, 0x3FF, "07FF"}),
                         [](const ::testing::TestParamInfo<FileIdCase>& info) {
                           return "Type" + std::to_string(info.param.type) + "Id" + info.param.fileIdHex;
                         });

TEST_F(UserDataFilesTest, TypeOneNumber0x200AndTypeTwoNumberZeroAreOneFile) {
  ASSERT_EQ(0, VORN_DAL_CreateUsrDataFile(1, 0x200, 16, 0, 0));
  EXPECT_EQ(VORN_DAL_ERR_CREATE_FILE, VORN_DAL_CreateUsrDataFile(2, 0, 16, 0, 0));
  const auto data = pattern(16, 3);
  ASSERT_EQ(0, write(1, 0x200, 0, data));
  EXPECT_EQ(read(2, 0, 0, 16), data);
}

// Argument checks come before any command, in the order read class, write
// class, type.
struct BadArgument {
  const char* name;
  std::function<int()> call;
  const char* logText;
};

class UsrDataBadArgument : public UserDataFilesTest, public ::testing::WithParamInterface<BadArgument> {};

TEST_P(UsrDataBadArgument, IsRefusedBeforeAnyCommand) {
  ScriptedCard card;
  EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, GetParam().call());
  EXPECT_TRUE(card.exchanges().empty());
  EXPECT_EQ(logTexts(), std::vector<std::string>{GetParam().logText});
}

unsigned char gBuffer[16];

INSTANTIATE_TEST_SUITE_P(
    Calls, UsrDataBadArgument,
    ::testing::Values(
        BadArgument{"ReadClass3BeforeBadType", [] { return VORN_DAL_CreateUsrDataFile(0, 1, 10, 3, 0); }, "******>read"},
        BadArgument{"ReadClassNegative", [] { return VORN_DAL_CreateUsrDataFile(1, 1, 10, -1, 9); }, "******>read"},
        BadArgument{"WriteClass3", [] { return VORN_DAL_CreateUsrDataFile(4, 1, 10, 2, 3); }, "******>wrt"},
        BadArgument{"CreateType0", [] { return VORN_DAL_CreateUsrDataFile(0, 1, 10, 0, 0); }, "******>file type"},
        BadArgument{"CreateType4", [] { return VORN_DAL_CreateUsrDataFile(4, 1, 10, 0, 0); }, "******>file type"},
        BadArgument{"ReadType0", [] { return VORN_DAL_ReadUsrDataFile(0, 1, 0, 4, gBuffer); }, "******>file type"},
        BadArgument{"ReadType4", [] { return VORN_DAL_ReadUsrDataFile(4, 1, 0, 4, gBuffer); }, "******>file type"},
        BadArgument{"WriteType0", [] { return VORN_DAL_WriteUsrDataFile(0, 1, 0, 4, gBuffer); }, "******>file type"},
        BadArgument{"WriteType4", [] { return VORN_DAL_WriteUsrDataFile(4, 1, 0, 4, gBuffer); }, "******>file type"},
        BadArgument{"DeleteType0", [] { return VORN_DAL_DeleteUsrDataFile(0, 1); }, "******>file type"},
        BadArgument{"DeleteType4", [] { return VORN_DAL_DeleteUsrDataFile(4, 1); }, "******>file type"}),
    [](const ::testing::TestParamInfo<BadArgument>& info) { return std::string(info.param.name); });

// Sizes and ranges that the card's 16-bit fields cannot express are refused
// before any command, instead of reaching a wrapped-around place.
struct OutOfRange {
  const char* name;
  std::function<int()> call;
};

class UsrDataOutOfRange : public UserDataFilesTest, public ::testing::WithParamInterface<OutOfRange> {};

TEST_P(UsrDataOutOfRange, IsRefusedBeforeAnyCommand) {
  ScriptedCard card;
  EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, GetParam().call());
  EXPECT_TRUE(card.exchanges().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Calls, UsrDataOutOfRange,
    ::testing::Values(
        OutOfRange{"SizeAbove0xFFFD", [] { return VORN_DAL_CreateUsrDataFile(1, 1, 0xFFFE, 0, 0); }},
        OutOfRange{"NegativeSize", [] { return VORN_DAL_CreateUsrDataFile(1, 1, -1, 0, 0); }},
        OutOfRange{"ReadPastTheAddressSpace", [] { return VORN_DAL_ReadUsrDataFile(1, 1, 0xFFFE, 1, gBuffer); }},
        OutOfRange{"WritePastTheAddressSpace", [] { return VORN_DAL_WriteUsrDataFile(1, 1, 0, 0xFFFF, gBuffer); }},
        OutOfRange{"ReadNegativeOffset", [] { return VORN_DAL_ReadUsrDataFile(1, 1, -2, 2, gBuffer); }},
        OutOfRange{"WriteNegativeOffset", [] { return VORN_DAL_WriteUsrDataFile(2, 1, -1, 4, gBuffer); }},
        OutOfRange{"ReadNegativeLength", [] { return VORN_DAL_ReadUsrDataFile(3, 1, 0, -1, gBuffer); }},
        OutOfRange{"WriteNegativeLength", [] { return VORN_DAL_WriteUsrDataFile(1, 1, 4, -4, gBuffer); }}),
    [](const ::testing::TestParamInfo<OutOfRange>& info) { return std::string(info.param.name); });

// The largest expressible values still go to the card, which decides.
TEST_F(UserDataFilesTest, LargestExpressibleValuesReachTheCard) {
  ScriptedCard card;
  EXPECT_EQ(VORN_DAL_ERR_CREATE_FILE, VORN_DAL_CreateUsrDataFile(1, 1, 0xFFFD, 0, 0));  // more than the card holds
  EXPECT_EQ(card.commandsHex().back(), "80E002010728FFFFF0F0FFFF");
  card.clear();
  EXPECT_EQ(VORN_DAL_ERR_READ_FILE, VORN_DAL_ReadUsrDataFile(1, 1, 0xFFFD, 1, gBuffer));  // no such file
  EXPECT_EQ(card.commandsHex(), std::vector<std::string>{"00A40000020201"});
}

TEST_F(UserDataFilesTest, DeletedFileStaysTakenUntilFormatting) {
  ASSERT_EQ(0, VORN_DAL_CreateUsrDataFile(1, 9, 50, 0, 0));
  ASSERT_EQ(0, write(1, 9, 0, pattern(50, 1)));
  {
    ScriptedCard card;
    ASSERT_EQ(0, VORN_DAL_DeleteUsrDataFile(1, 9));
    EXPECT_EQ(card.commandsHex(), (std::vector<std::string>{"00A40000020209", "00D60000020000"}));
  }
  clearLog();
  read(1, 9, 0, 10, VORN_DAL_ERR_FILE_DELETED);
  EXPECT_EQ(VORN_DAL_ERR_FILE_DELETED, write(1, 9, 0, pattern(10, 2)));
  EXPECT_EQ(logTexts(), (std::vector<std::string>{"******>file deled", "******>file deled"}));
  clearLog();
  EXPECT_EQ(VORN_DAL_ERR_CREATE_FILE, VORN_DAL_CreateUsrDataFile(1, 9, 50, 0, 0));
  ASSERT_EQ(logTexts().size(), 2u);
  EXPECT_EQ(logTexts()[0], "******>ICC_tsi_api Error:27273:0x6A89");
  EXPECT_EQ(logTexts()[1], "******>create file");
  EXPECT_EQ(0, VORN_DAL_DeleteUsrDataFile(1, 9));  // deleting again succeeds again

  formatToken();
  EXPECT_EQ(0, VORN_DAL_CreateUsrDataFile(1, 9, 50, 0, 0));
}

TEST_F(UserDataFilesTest, DeletingAFileNeverCreatedFails) {
  EXPECT_EQ(VORN_DAL_ERR_DELETE_FILE, VORN_DAL_DeleteUsrDataFile(2, 17));
  EXPECT_EQ(logTexts(), (std::vector<std::string>{"******>Wrt Select Error:27266:0x6A82", "******>PELU7_WriteFileBin",
                                                  "PELU7_WriteFileBin error:0X6A82"}));
}

TEST_F(UserDataFilesTest, ReadClassOneNeedsTheUser) {
  loginUser();
  ASSERT_EQ(0, VORN_DAL_CreateUsrDataFile(3, 1, 20, 1, 1));
  ASSERT_EQ(0, VORN_DAL_Logout(VORN_DAL_USER));
  clearLog();
  read(3, 1, 0, 4, VORN_DAL_ERR_READ_FILE);
  EXPECT_EQ(logTexts().back(), "******>PELU7_ReadFileBin");
  loginUser();
  EXPECT_EQ(read(3, 1, 0, 4), std::vector<unsigned char>(4, 0x00));
}

// The header read needs the read role and the data write the write role; with
// one role logged in at a time, nobody can write such a file.
struct CrossedClasses {
  int readClass;
  int writeClass;
  int loggedIn;
  int result;
};

class UsrDataCrossedClasses : public UserDataFilesTest, public ::testing::WithParamInterface<CrossedClasses> {};

TEST_P(UsrDataCrossedClasses, NobodyCanWrite) {
  const CrossedClasses& c = GetParam();
  loginFor(c.writeClass);
  ASSERT_EQ(0, VORN_DAL_CreateUsrDataFile(1, 3, 8, c.readClass, c.writeClass));
  ASSERT_EQ(0, VORN_DAL_Logout(VORN_DAL_USER));
  loginAs(c.loggedIn);
  EXPECT_EQ(c.result, write(1, 3, 0, pattern(8, 4)));
}

INSTANTIATE_TEST_SUITE_P(
    Roles, UsrDataCrossedClasses,
    ::testing::Values(CrossedClasses{1, 2, kNobody, VORN_DAL_ERR_READ_FILE},
                      CrossedClasses{1, 2, kUserRole, VORN_DAL_ERR_WRITE_FILE},
                      CrossedClasses{1, 2, kSuperRole, VORN_DAL_ERR_READ_FILE},
                      CrossedClasses{2, 1, kNobody, VORN_DAL_ERR_READ_FILE},
                      CrossedClasses{2, 1, kUserRole, VORN_DAL_ERR_READ_FILE},
                      CrossedClasses{2, 1, kSuperRole, VORN_DAL_ERR_WRITE_FILE}),
    [](const ::testing::TestParamInfo<CrossedClasses>& info) {
      const int role = info.param.loggedIn;
      return "Read" + std::to_string(info.param.readClass) + "Write" + std::to_string(info.param.writeClass) +
             (role == kNobody ? "Nobody" : role == kUserRole ? "User" : "SuperUser");
    });

// The card accepts the CREATE FILE but refuses the header write; the file
// stays with the content the card gives a new file (zeros here), so it reads
// as deleted and its number stays taken.
TEST_F(UserDataFilesTest, WriteClassOneCreatedWhileLoggedOutKeepsTheNumberTaken) {
  EXPECT_EQ(VORN_DAL_ERR_WRITE_FILE, VORN_DAL_CreateUsrDataFile(1, 4, 10, 0, 1));
  EXPECT_EQ(logTexts(), (std::vector<std::string>{"******>Wrt data Error:27010:0x6982", "******>PELU7_WriteFileBin",
                                                  "PELU7_WriteFileBin error:0X6982"}));
  loginUser();
  EXPECT_EQ(VORN_DAL_ERR_CREATE_FILE, VORN_DAL_CreateUsrDataFile(1, 4, 10, 0, 1));
  read(1, 4, 0, 1, VORN_DAL_ERR_FILE_DELETED);
}

TEST_F(UserDataFilesTest, CallerOffsetsStartAfterTheHeader) {
  ASSERT_EQ(0, VORN_DAL_CreateUsrDataFile(2, 2, 40, 0, 0));
  const auto data = pattern(40, 7);
  ASSERT_EQ(0, write(2, 2, 0, data));
  ScriptedCard card;
  EXPECT_EQ(read(2, 2, 0, 10), std::vector<unsigned char>(data.begin(), data.begin() + 10));
  EXPECT_EQ(card.commandsHex(),
            (std::vector<std::string>{"00A40000020402", "00B0000002", "00A40000020402", "00B000020A"}));
  // The header is untouched by the data write.
  EXPECT_EQ(card.exchanges()[1].data, (std::vector<std::uint8_t>{0x01, 0x00}));
}

struct LargeTransfer {
  int size;
  int offset;
  int length;
};

class UsrDataLargeTransfer : public UserDataFilesTest, public ::testing::WithParamInterface<LargeTransfer> {};

TEST_P(UsrDataLargeTransfer, RoundTripsByteForByte) {
  const LargeTransfer& c = GetParam();
  loginUser();
  ASSERT_EQ(0, VORN_DAL_CreateUsrDataFile(1, 20, c.size, 1, 1));
  const auto data = pattern(static_cast<size_t>(c.length), 11);
  {
    ScriptedCard card;
    ASSERT_EQ(0, write(1, 20, c.offset, data));
    // One header read, then the data in chunks of 245 starting at card offset offset + 2.
    const size_t chunks = (static_cast<size_t>(c.length) + 244) / 245;
    ASSERT_EQ(card.countWithHeader({0x00, 0xD6}), chunks);
    const auto& first = card.exchanges().at(3).command;
    EXPECT_EQ((first[2] << 8 | first[3]), c.offset + 2);
  }
  EXPECT_EQ(read(1, 20, c.offset, c.length), data);
  // Everything around the written range is as the card created it.
  const auto whole = read(1, 20, 0, c.size);
  for (int i = 0; i < c.size; ++i) {
    if (i >= c.offset && i < c.offset + c.length) continue;
    ASSERT_EQ(whole[static_cast<size_t>(i)], 0x00) << "byte " << i;
  }
  // The header still marks the file live.
  EXPECT_EQ(0, VORN_DAL_DeleteUsrDataFile(1, 20));
  read(1, 20, 0, 1, VORN_DAL_ERR_FILE_DELETED);
}

INSTANTIATE_TEST_SUITE_P(Sizes, UsrDataLargeTransfer,
                         ::testing::Values(LargeTransfer{6000, 3, 5000}, LargeTransfer{245, 0, 245},
                                           LargeTransfer{600, 244, 246}, LargeTransfer{490, 0, 490},
                                           LargeTransfer{1000, 997, 3}),
                         [](const ::testing::TestParamInfo<LargeTransfer>& info) {
                           return std::to_string(info.param.length) + "BytesAtOffset" + std::to_string(info.param.offset);
                         });

}  // namespace

// A pair whose id (modulo 0x10000) names one of the library's own files would
// corrupt it: the global information file, the key-pair counter, the flag
// files, the MF, the key file or key-pair files (ids below 0200).
struct ForeignId {
  int type;
  int number;
};

class UsrDataForeignId : public UserDataFilesTest, public ::testing::WithParamInterface<ForeignId> {};

TEST_P(UsrDataForeignId, IsRefusedBeforeAnyCommand) {
  const ForeignId& c = GetParam();
  loginUser();
  ASSERT_EQ(0, VORN_DAL_CreateGlobalInfoFile(16));
  const auto data = pattern(16, 5);
  ASSERT_EQ(0, VORN_DAL_WriteGlobalInfoFile(0, 16, data.data()));
  clearLog();
  {
    ScriptedCard card;
    unsigned char buffer[4] = {};
    EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, VORN_DAL_DeleteUsrDataFile(c.type, c.number));
    EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, VORN_DAL_WriteUsrDataFile(c.type, c.number, 0, 4, buffer));
    EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, VORN_DAL_ReadUsrDataFile(c.type, c.number, 0, 4, buffer));
    EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, VORN_DAL_CreateUsrDataFile(c.type, c.number, 4, 0, 0));
    EXPECT_TRUE(card.exchanges().empty());
  }
  EXPECT_EQ(logTexts(), std::vector<std::string>(4, "******>file type"));
  std::vector<unsigned char> back(16);
  ASSERT_EQ(0, VORN_DAL_ReadGlobalInfoFile(0, 16, back.data()));
  EXPECT_EQ(back, data);
}

INSTANTIATE_TEST_SUITE_P(Pairs, UsrDataForeignId,
                         ::testing::Values(ForeignId{1, 0x1DF3}, ForeignId{1, 0x1DF4}, ForeignId{3, 0x19F5},
                                           ForeignId{2, 0x1BF6}, ForeignId{1, 0x3D00}, ForeignId{1, -0x200},
                                           ForeignId{3, 0xFA01}, ForeignId{2, -0x300}),
                         [](const ::testing::TestParamInfo<ForeignId>& info) {
                           const int n = info.param.number;
                           char name[32];
                           snprintf(name, sizeof name, "Type%dNumber%s%X", info.param.type, n < 0 ? "Minus" : "",
                                    static_cast<unsigned>(n < 0 ? -n : n));
                           return std::string(name);
                         });

// Numbers of 0x200 and more keep naming ordinary card files (here 0800), so
// that files stored under them stay reachable.
TEST_F(UserDataFilesTest, LargeNumbersStillNameOrdinaryFiles) {
  ASSERT_EQ(0, VORN_DAL_CreateUsrDataFile(3, 0x200, 8, 0, 0));
  const auto data = pattern(8, 9);
  ASSERT_EQ(0, VORN_DAL_WriteUsrDataFile(3, 0x200, 0, 8, data.data()));
  std::vector<unsigned char> back(8);
  ASSERT_EQ(0, VORN_DAL_ReadUsrDataFile(3, 0x200, 0, 8, back.data()));
  EXPECT_EQ(back, data);
}
