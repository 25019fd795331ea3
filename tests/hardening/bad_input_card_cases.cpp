// Bad input to the exports that talk to the card: ports, login types, PIN
// lengths, file types, numbers, offsets and sizes, RSA lengths and buffers.
// A refusal comes after the device is opened and before any command; values
// at the edge of what is accepted reach the card, which decides.
#include <stdlib.h>

#include <climits>

#include "hardening/bad_input.h"
#include "dal/connection.h"

namespace hardening {
namespace {

using testsupport::ScriptedCard;

#define CALL HARDENING_CALL

const unsigned char* user() { return BadInput::userPin().data(); }
const unsigned char* super() { return BadInput::superPin().data(); }
const std::vector<std::string> kLoginTypeLog{"******>login type"};
const std::vector<std::string> kPinLengthLog{"******>pin len"};
const std::vector<std::string> kFileSizeLog{"******>file size"};
const std::vector<std::string> kFileRangeLog{"******>file range"};
const std::vector<std::string> kNullPointerLog{"******>null pointer"};

const BadInputCase kPortCases[] = {
    {"InitializeExNegativeIndex", TokenState::Fresh, CALL(VORN_DAL_InitializeEx(-1)), VORN_DAL_ERR_ARGUMENT,
     kNoCommand, kNoLog},
    {"InitializeExMostNegativeIndex", TokenState::Fresh, CALL(VORN_DAL_InitializeEx(INT_MIN)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kNoLog},
    {"InitializeExIndexWhoseNameDoesNotFit", TokenState::Fresh, CALL(VORN_DAL_InitializeEx(99999999)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kNoLog},
    {"InitializeExLargestIndex", TokenState::Fresh, CALL(VORN_DAL_InitializeEx(INT_MAX)), VORN_DAL_ERR_ARGUMENT,
     kNoCommand, kNoLog},
    // A refused index leaves the open port open and in use.
    {"InitializeExNegativeIndexKeepsTheOpenPort", TokenState::Fresh,
     [](Outputs&, ScriptedCard&, BadInput&) {
       EXPECT_EQ(0, VORN_DAL_Initialize());
       const int open = pelu7::readerHandle;
       const int result = VORN_DAL_InitializeEx(-5);
       EXPECT_EQ(pelu7::readerHandle, open);
       return result;
     },
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kNoLog},
    // The longest port name that fits the 12-byte name buffer opens.
    {"InitializeExLongestPortName", TokenState::Fresh,
     [](Outputs&, ScriptedCard&, BadInput&) {
       setenv("PELU7_READERS", "USB1=vtoken:;USB99999999=vtoken:", 1);
       return VORN_DAL_InitializeEx(99999998);
     },
     0, kNoCommand, kNoLog},
    {"InitializeExPortThatDoesNotExist", TokenState::Fresh, CALL(VORN_DAL_InitializeEx(41)),
     VORN_DAL_ERR_OPEN_DEVICE, kNoCommand, std::vector<std::string>{"******>device open"}},
    {"GetFreeSpaceAnyArgument", TokenState::Fresh, CALL(VORN_DAL_GetFreeSpace(INT_MIN)),
     VORN_DAL_ERR_NOT_SUPPORTED, kNoCommand, kNoLog},
};

const BadInputCase kPinCases[] = {
    {"LoginTypeZero", TokenState::Provisioned, CALL(VORN_DAL_Login(0, user(), 8)), VORN_DAL_ERR_ARGUMENT,
     kNoCommand, kLoginTypeLog},
    {"LoginTypeThree", TokenState::Provisioned, CALL(VORN_DAL_Login(3, user(), 8)), VORN_DAL_ERR_ARGUMENT,
     kNoCommand, kLoginTypeLog},
    {"LoginTypeNegative", TokenState::Provisioned, CALL(VORN_DAL_Login(-2, user(), 8)), VORN_DAL_ERR_ARGUMENT,
     kNoCommand, kLoginTypeLog},
    {"LoginNegativePinLength", TokenState::Provisioned, CALL(VORN_DAL_Login(VORN_DAL_USER, user(), -1)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kPinLengthLog},
    {"LoginMostNegativePinLength", TokenState::Provisioned,
     CALL(VORN_DAL_Login(VORN_DAL_SUPER_USER, super(), INT_MIN)), VORN_DAL_ERR_ARGUMENT, kNoCommand, kPinLengthLog},
    // The type is checked before the length.
    {"LoginBadTypeAndLength", TokenState::Provisioned, CALL(VORN_DAL_Login(7, user(), -1)), VORN_DAL_ERR_ARGUMENT,
     kNoCommand, kLoginTypeLog},
    // An empty PIN is derived and presented; the card refuses it.
    {"LoginEmptyPinReachesTheCard", TokenState::Provisioned, CALL(VORN_DAL_Login(VORN_DAL_USER, nullptr, 0)), 5,
     {"0020000108"}, std::vector<std::string>{"******>chk pin"}},
    {"LogoutTypeZero", TokenState::Provisioned, CALL(VORN_DAL_Logout(0)), VORN_DAL_ERR_ARGUMENT, kNoCommand,
     kLoginTypeLog},
    {"LogoutTypeThree", TokenState::Provisioned, CALL(VORN_DAL_Logout(3)), VORN_DAL_ERR_ARGUMENT, kNoCommand,
     kLoginTypeLog},
    {"IsLoginTypeZero", TokenState::Provisioned, CALL(VORN_DAL_IsLogin(0, &out.isLogin)), VORN_DAL_ERR_ARGUMENT,
     kNoCommand, kLoginTypeLog},
    {"IsLoginTypeMostNegative", TokenState::Provisioned, CALL(VORN_DAL_IsLogin(INT_MIN, &out.isLogin)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kLoginTypeLog},
    {"ChangePinTypeThree", TokenState::Provisioned, CALL(VORN_DAL_ChangePin(3, user(), 8, user(), 8)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kLoginTypeLog},
    {"ChangePinNegativeOldLength", TokenState::Provisioned,
     CALL(VORN_DAL_ChangePin(VORN_DAL_USER, user(), -1, user(), 8)), VORN_DAL_ERR_ARGUMENT, kNoCommand, kPinLengthLog},
    {"ChangePinNegativeNewLength", TokenState::Provisioned,
     CALL(VORN_DAL_ChangePin(VORN_DAL_SUPER_USER, super(), 8, super(), INT_MIN)), VORN_DAL_ERR_ARGUMENT,
     kNoCommand, kPinLengthLog},
    {"UnlockPinNegativeSuperPinLength", TokenState::Provisioned, CALL(VORN_DAL_UnlockPin(super(), -1, user(), 8)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kPinLengthLog},
    {"UnlockPinNegativeNewPinLength", TokenState::Provisioned, CALL(VORN_DAL_UnlockPin(super(), 8, user(), -8)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kPinLengthLog},
    {"FormatNegativeSuperPinLength", TokenState::Provisioned, CALL(VORN_DAL_FormatDevice(super(), -1, user(), 8)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kPinLengthLog},
    {"FormatNegativeUserPinLength", TokenState::Fresh, CALL(VORN_DAL_FormatDevice(super(), 8, user(), INT_MIN)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kPinLengthLog},
};

const std::vector<std::string> kReadBeyondEnd{"******>Rd data Error:27392:0x6B00", "******>PELU7_ReadFileBin"};
const std::vector<std::string> kWriteBeyondEnd{"******>Wrt data Error:27392:0x6B00", "******>PELU7_WriteFileBin",
                                                     "PELU7_WriteFileBin error:0X6B00"};

const BadInputCase kGlobalInfoCases[] = {
    {"CreateGlobalNegativeSize", TokenState::Fresh, CALL(VORN_DAL_CreateGlobalInfoFile(-1)), VORN_DAL_ERR_ARGUMENT,
     kNoCommand, kFileSizeLog},
    {"CreateGlobalSizeBeyondSixteenBits", TokenState::Fresh, CALL(VORN_DAL_CreateGlobalInfoFile(0x10000)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileSizeLog},
    {"CreateGlobalLargestSize", TokenState::Fresh, CALL(VORN_DAL_CreateGlobalInfoFile(INT_MAX)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileSizeLog},
    // The largest size the card's field holds is sent; the card is too small.
    {"CreateGlobalLargestCardSize", TokenState::Fresh, CALL(VORN_DAL_CreateGlobalInfoFile(0xFFFF)),
     VORN_DAL_ERR_CREATE_FILE, {"80E01FF30728FFFFF0AAFFFF"},
     std::vector<std::string>{"******>ICC_tsi_api Error:27268:0x6A84", "******>create global info file"}},
    {"ReadGlobalNegativeOffset", TokenState::Provisioned, CALL(VORN_DAL_ReadGlobalInfoFile(-1, 4, out.buffer.data())),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileRangeLog},
    {"ReadGlobalNegativeLength", TokenState::Provisioned, CALL(VORN_DAL_ReadGlobalInfoFile(0, -1, out.buffer.data())),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileRangeLog},
    // An empty transfer reaches no address, so its offset cannot be out of range.
    {"ReadGlobalEmptyBeyondSixteenBitsSendsNothing", TokenState::Provisioned,
     CALL(VORN_DAL_ReadGlobalInfoFile(0x10000, 0, out.buffer.data())), 0, kNoCommand, kNoLog},
    {"WriteGlobalEmptyAtTheMostNegativeOffsetSendsNothing", TokenState::Provisioned,
     CALL(VORN_DAL_WriteGlobalInfoFile(INT_MIN, 0, out.buffer.data())), 0, kNoCommand, kNoLog},
    {"ReadGlobalRangeBeyondSixteenBits", TokenState::Provisioned,
     CALL(VORN_DAL_ReadGlobalInfoFile(0xFFFF, 2, out.buffer.data())), VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileRangeLog},
    {"ReadGlobalLargestOffsetAndLength", TokenState::Provisioned,
     CALL(VORN_DAL_ReadGlobalInfoFile(INT_MAX, INT_MAX, out.buffer.data())), VORN_DAL_ERR_ARGUMENT, kNoCommand,
     kFileRangeLog},
    {"ReadGlobalEmptySendsNothing", TokenState::Provisioned, CALL(VORN_DAL_ReadGlobalInfoFile(0, 0, nullptr)), 0,
     kNoCommand, kNoLog},
    {"ReadGlobalLastAddressReachesTheCard", TokenState::Provisioned,
     CALL(VORN_DAL_ReadGlobalInfoFile(0xFFFF, 1, out.buffer.data())), VORN_DAL_ERR_READ_FILE,
     {"00A40000021FF3", "00B0FFFF01"}, kReadBeyondEnd},
    {"WriteGlobalNegativeOffset", TokenState::Provisioned,
     CALL(VORN_DAL_WriteGlobalInfoFile(INT_MIN, 4, out.buffer.data())), VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileRangeLog},
    {"WriteGlobalNegativeLength", TokenState::Provisioned,
     CALL(VORN_DAL_WriteGlobalInfoFile(0, INT_MIN, out.buffer.data())), VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileRangeLog},
    {"WriteGlobalLengthBeyondSixteenBits", TokenState::Provisioned,
     CALL(VORN_DAL_WriteGlobalInfoFile(0, 0x10001, out.buffer.data())), VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileRangeLog},
    {"WriteGlobalRangeBeyondSixteenBits", TokenState::Provisioned,
     CALL(VORN_DAL_WriteGlobalInfoFile(0x8000, 0x8001, out.buffer.data())), VORN_DAL_ERR_ARGUMENT, kNoCommand,
     kFileRangeLog},
    {"WriteGlobalEmptySendsNothing", TokenState::Provisioned, CALL(VORN_DAL_WriteGlobalInfoFile(0, 0, nullptr)), 0,
     kNoCommand, kNoLog},
    {"WriteGlobalLastAddressReachesTheCard", TokenState::Provisioned,
     CALL(VORN_DAL_WriteGlobalInfoFile(0xFFFF, 1, out.buffer.data())), VORN_DAL_ERR_WRITE_FILE,
     {"00A40000021FF3", "00D6FFFF01"}, kWriteBeyondEnd},
};

const std::vector<std::string> kFileTypeLog{"******>file type"};
const std::vector<std::string> kSelectAndReadHeader{"00A40000020205", "00B0000002"};

const BadInputCase kUserDataCases[] = {
    // The read class is checked first, then the write class, then the type.
    {"CreateUserReadClassThree", TokenState::Provisioned, CALL(VORN_DAL_CreateUsrDataFile(0, 6, 16, 3, 0)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, std::vector<std::string>{"******>read"}},
    {"CreateUserReadClassNegative", TokenState::Provisioned, CALL(VORN_DAL_CreateUsrDataFile(1, 6, 16, -1, 9)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, std::vector<std::string>{"******>read"}},
    {"CreateUserWriteClassThree", TokenState::Provisioned, CALL(VORN_DAL_CreateUsrDataFile(4, 6, 16, 2, 3)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, std::vector<std::string>{"******>wrt"}},
    {"CreateUserTypeZero", TokenState::Provisioned, CALL(VORN_DAL_CreateUsrDataFile(0, 6, 16, 0, 0)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileTypeLog},
    {"CreateUserTypeFour", TokenState::Provisioned, CALL(VORN_DAL_CreateUsrDataFile(4, 6, 16, 0, 0)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileTypeLog},
    {"CreateUserNumberBelowTheRange", TokenState::Provisioned, CALL(VORN_DAL_CreateUsrDataFile(1, -1, 16, 0, 0)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileTypeLog},
    // Numbers whose file id would be one of the library's own files.
    {"CreateUserNumberOfTheGlobalInfoFile", TokenState::Provisioned,
     CALL(VORN_DAL_CreateUsrDataFile(3, 0x19F3, 16, 0, 0)), VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileTypeLog},
    {"CreateUserLargestNumber", TokenState::Provisioned, CALL(VORN_DAL_CreateUsrDataFile(1, INT_MAX, 16, 0, 0)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileTypeLog},
    {"CreateUserNumberOfTheMasterFile", TokenState::Provisioned, CALL(VORN_DAL_CreateUsrDataFile(1, 0x3D00, 16, 0, 0)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileTypeLog},
    {"CreateUserNegativeSize", TokenState::Provisioned, CALL(VORN_DAL_CreateUsrDataFile(1, 6, -1, 0, 0)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileSizeLog},
    {"CreateUserSizeWhoseHeaderDoesNotFit", TokenState::Provisioned,
     CALL(VORN_DAL_CreateUsrDataFile(1, 6, 0xFFFE, 0, 0)), VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileSizeLog},
    {"CreateUserLargestSize", TokenState::Provisioned, CALL(VORN_DAL_CreateUsrDataFile(1, 6, INT_MAX, 0, 0)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileSizeLog},
    {"CreateUserLargestCardSizeReachesTheCard", TokenState::Provisioned,
     CALL(VORN_DAL_CreateUsrDataFile(1, 6, 0xFFFD, 0, 0)), VORN_DAL_ERR_CREATE_FILE, {"80E002060728FFFFF0F0FFFF"},
     std::vector<std::string>{"******>ICC_tsi_api Error:27268:0x6A84", "******>create file"}},
    {"ReadUserTypeZero", TokenState::Provisioned, CALL(VORN_DAL_ReadUsrDataFile(0, 5, 0, 4, out.buffer.data())),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileTypeLog},
    {"ReadUserNegativeOffset", TokenState::Provisioned,
     CALL(VORN_DAL_ReadUsrDataFile(1, 5, -1, 4, out.buffer.data())), VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileRangeLog},
    {"ReadUserNegativeLength", TokenState::Provisioned,
     CALL(VORN_DAL_ReadUsrDataFile(1, 5, 0, -1, out.buffer.data())), VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileRangeLog},
    {"ReadUserEmptyBeyondSixteenBitsReadsOnlyTheHeader", TokenState::Provisioned,
     CALL(VORN_DAL_ReadUsrDataFile(1, 5, 0xFFFE, 0, out.buffer.data())), 0, kSelectAndReadHeader, kNoLog},
    {"WriteUserEmptyAtTheLargestOffsetReadsOnlyTheHeader", TokenState::Provisioned,
     CALL(VORN_DAL_WriteUsrDataFile(1, 5, INT_MAX, 0, out.buffer.data())), 0, kSelectAndReadHeader, kNoLog},
    {"ReadUserLargestOffset", TokenState::Provisioned,
     CALL(VORN_DAL_ReadUsrDataFile(1, 5, INT_MAX, 1, out.buffer.data())), VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileRangeLog},
    {"ReadUserEmptyReadsOnlyTheHeader", TokenState::Provisioned, CALL(VORN_DAL_ReadUsrDataFile(1, 5, 0, 0, nullptr)),
     0, kSelectAndReadHeader, kNoLog},
    {"ReadUserLastAddressReachesTheCard", TokenState::Provisioned,
     CALL(VORN_DAL_ReadUsrDataFile(1, 5, 0xFFFD, 1, out.buffer.data())), VORN_DAL_ERR_READ_FILE,
     {"00A40000020205", "00B0000002", "00A40000020205", "00B0FFFF01"}, kReadBeyondEnd},
    {"WriteUserTypeFour", TokenState::Provisioned, CALL(VORN_DAL_WriteUsrDataFile(4, 5, 0, 4, out.buffer.data())),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileTypeLog},
    {"WriteUserNumberOfTheKeyPairCounter", TokenState::Provisioned,
     CALL(VORN_DAL_WriteUsrDataFile(2, 0x1BF4, 0, 4, out.buffer.data())), VORN_DAL_ERR_ARGUMENT, kNoCommand,
     kFileTypeLog},
    {"WriteUserNegativeOffset", TokenState::Provisioned,
     CALL(VORN_DAL_WriteUsrDataFile(1, 5, INT_MIN, 4, out.buffer.data())), VORN_DAL_ERR_ARGUMENT, kNoCommand,
     kFileRangeLog},
    {"WriteUserNegativeLength", TokenState::Provisioned,
     CALL(VORN_DAL_WriteUsrDataFile(1, 5, 0, -4, out.buffer.data())), VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileRangeLog},
    {"WriteUserRangeBeyondSixteenBits", TokenState::Provisioned,
     CALL(VORN_DAL_WriteUsrDataFile(1, 5, 0xFFFD, 2, out.buffer.data())), VORN_DAL_ERR_ARGUMENT, kNoCommand,
     kFileRangeLog},
    {"WriteUserLastAddressReachesTheCard", TokenState::Provisioned,
     CALL(VORN_DAL_WriteUsrDataFile(1, 5, 0xFFFD, 1, out.buffer.data())), VORN_DAL_ERR_WRITE_FILE,
     {"00A40000020205", "00B0000002", "00A40000020205", "00D6FFFF01"}, kWriteBeyondEnd},
    {"DeleteUserTypeZero", TokenState::Provisioned, CALL(VORN_DAL_DeleteUsrDataFile(0, 5)), VORN_DAL_ERR_ARGUMENT,
     kNoCommand, kFileTypeLog},
    {"DeleteUserNumberOfAFlagFile", TokenState::Provisioned, CALL(VORN_DAL_DeleteUsrDataFile(1, 0x1DF5)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileTypeLog},
    {"DeleteUserNumberOfAKeyFile", TokenState::Provisioned, CALL(VORN_DAL_DeleteUsrDataFile(1, -0x1FF)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kFileTypeLog},
};

const std::vector<std::string> kModulusLenLog{"******>modulusLen"};
const std::vector<std::string> kIndataLengthLog{"******>indata length"};
const Bytes kKeyElement(128, 0x5A);
const unsigned char* key() { return kKeyElement.data(); }

const BadInputCase kRsaCardCases[] = {
    {"GenRsaKeyPair2048Bits", TokenState::Provisioned, CALL(VORN_DAL_GenRsaKeyPair(2048, &out.pubKeyId, &out.priKeyId)),
     VORN_DAL_ERR_MODULUS_LENGTH, kNoCommand, kModulusLenLog},
    {"GenRsaKeyPair1023Bits", TokenState::Provisioned, CALL(VORN_DAL_GenRsaKeyPair(1023, &out.pubKeyId, &out.priKeyId)),
     VORN_DAL_ERR_MODULUS_LENGTH, kNoCommand, kModulusLenLog},
    {"GenRsaKeyPairZeroBits", TokenState::Provisioned, CALL(VORN_DAL_GenRsaKeyPair(0, &out.pubKeyId, &out.priKeyId)),
     VORN_DAL_ERR_MODULUS_LENGTH, kNoCommand, kModulusLenLog},
    {"GenRsaKeyPairMostNegativeBits", TokenState::Provisioned,
     CALL(VORN_DAL_GenRsaKeyPair(INT_MIN, &out.pubKeyId, &out.priKeyId)), VORN_DAL_ERR_MODULUS_LENGTH, kNoCommand,
     kModulusLenLog},
    {"GenRsaKeyPairNoPublicIdOutput", TokenState::Provisioned, CALL(VORN_DAL_GenRsaKeyPair(1024, nullptr, &out.priKeyId)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kNullPointerLog},
    {"GenRsaKeyPairNoPrivateIdOutput", TokenState::Provisioned, CALL(VORN_DAL_GenRsaKeyPair(1024, &out.pubKeyId, nullptr)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kNullPointerLog},
    {"GetPublicKeyNoModulusBuffer", TokenState::Provisioned, CALL(VORN_DAL_GetPublicKey(1, nullptr, &out.length)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kNullPointerLog},
    {"GetPublicKeyNoLengthOutput", TokenState::Provisioned, CALL(VORN_DAL_GetPublicKey(1, out.buffer.data(), nullptr)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kNullPointerLog},
    {"ImportRsaKeyPairNoModulus", TokenState::Provisioned,
     CALL(VORN_DAL_ImportRsaKeyPair(nullptr, nullptr, nullptr, key(), key(), key(), key(), key(), &out.pubKeyId,
                                    &out.priKeyId)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kNullPointerLog},
    {"ImportRsaKeyPairNoCoefficient", TokenState::Provisioned,
     CALL(VORN_DAL_ImportRsaKeyPair(nullptr, key(), nullptr, key(), key(), key(), key(), nullptr, &out.pubKeyId,
                                    &out.priKeyId)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kNullPointerLog},
    {"ImportRsaKeyPairNoIdOutput", TokenState::Provisioned,
     CALL(VORN_DAL_ImportRsaKeyPair(nullptr, key(), nullptr, key(), key(), key(), key(), key(), nullptr,
                                    &out.priKeyId)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, kNullPointerLog},
    {"RsaPrivateKeyRaw127Bytes", TokenState::Provisioned,
     CALL(VORN_DAL_RsaPrivateKeyRaw(2, key(), 127, out.buffer.data(), &out.length)), VORN_DAL_ERR_DATA_LENGTH,
     kNoCommand, kIndataLengthLog},
    {"RsaPrivateKeyRaw129Bytes", TokenState::Provisioned,
     CALL(VORN_DAL_RsaPrivateKeyRaw(2, key(), 129, out.buffer.data(), &out.length)), VORN_DAL_ERR_DATA_LENGTH,
     kNoCommand, kIndataLengthLog},
    {"RsaPrivateKeyRawNegativeLength", TokenState::Provisioned,
     CALL(VORN_DAL_RsaPrivateKeyRaw(2, key(), -128, out.buffer.data(), &out.length)), VORN_DAL_ERR_DATA_LENGTH,
     kNoCommand, kIndataLengthLog},
    {"RsaPrivateKeyRawNoInput", TokenState::Provisioned,
     CALL(VORN_DAL_RsaPrivateKeyRaw(2, nullptr, 128, out.buffer.data(), &out.length)), VORN_DAL_ERR_ARGUMENT,
     kNoCommand, kNullPointerLog},
    {"RsaPrivateKeyRawNoOutput", TokenState::Provisioned,
     CALL(VORN_DAL_RsaPrivateKeyRaw(2, key(), 128, nullptr, &out.length)), VORN_DAL_ERR_ARGUMENT, kNoCommand,
     kNullPointerLog},
    {"RsaPrivateKeyRawNoLengthOutput", TokenState::Provisioned,
     CALL(VORN_DAL_RsaPrivateKeyRaw(2, key(), 128, out.buffer.data(), nullptr)), VORN_DAL_ERR_ARGUMENT, kNoCommand,
     kNullPointerLog},
    // Random bytes: nothing asked, nothing sent, nothing written.
    {"GenRandZeroBytes", TokenState::Fresh, CALL(VORN_DAL_GenRand(0, nullptr)), 0, kNoCommand, kNoLog},
};

INSTANTIATE_TEST_SUITE_P(Ports, BadInput, ::testing::ValuesIn(kPortCases), caseName);
INSTANTIATE_TEST_SUITE_P(Pins, BadInput, ::testing::ValuesIn(kPinCases), caseName);
INSTANTIATE_TEST_SUITE_P(GlobalInfoFile, BadInput, ::testing::ValuesIn(kGlobalInfoCases), caseName);
INSTANTIATE_TEST_SUITE_P(UserDataFiles, BadInput, ::testing::ValuesIn(kUserDataCases), caseName);
INSTANTIATE_TEST_SUITE_P(RsaOnTheCard, BadInput, ::testing::ValuesIn(kRsaCardCases), caseName);

}  // namespace
}  // namespace hardening
