// What the card's limits look like through the module: polled calls cost no
// card traffic, and a full card is CKR_DEVICE_MEMORY.
#include <fstream>

#include "module_fixture.h"

namespace p11test {
namespace {

class PolledCallsTest : public TracedModuleTest {};

TEST_F(PolledCallsTest, SessionSlotAndTokenInfoSendNothingWhileSessionsAreOpen) {
  CK_SESSION_HANDLE session = openSession();
  loginUser(session);
  const std::size_t before = commandsSent();
  ASSERT_GT(before, 0u);
  for (int i = 0; i < 10; ++i) {
    CK_SESSION_INFO sessionInfo;
    CK_SLOT_INFO slotInfo;
    CK_TOKEN_INFO tokenInfo;
    ASSERT_EQ(p11->C_GetSessionInfo(session, &sessionInfo), CKR_OK);
    ASSERT_EQ(p11->C_GetSlotInfo(kSlot, &slotInfo), CKR_OK);
    ASSERT_EQ(p11->C_GetTokenInfo(kSlot, &tokenInfo), CKR_OK);
    EXPECT_NE(slotInfo.flags & CKF_TOKEN_PRESENT, 0u);
    EXPECT_EQ(sessionInfo.state, CKS_RW_USER_FUNCTIONS);
  }
  EXPECT_EQ(commandsSent(), before);
}

class FullCardTest : public ModuleTest {
 protected:
  FullCardTest() : ModuleTest(true) {}
};

TEST_F(FullCardTest, AFullCardIsDeviceMemory) {
  initToken();
  CK_SESSION_HANDLE session = openSession();
  loginUser(session);
  CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_ULONG bits = 1024;
  CK_BBOOL onToken = CK_TRUE;
  CK_ATTRIBUTE publicTemplate[] = {attr(CKA_MODULUS_BITS, bits), attr(CKA_TOKEN, onToken)};
  CK_ATTRIBUTE privateTemplate = attr(CKA_TOKEN, onToken);
  CK_RV rv = CKR_OK;
  int made = 0;
  for (; made < 100 && rv == CKR_OK; ++made) {
    CK_OBJECT_HANDLE pub = CK_INVALID_HANDLE, priv = CK_INVALID_HANDLE;
    rv = p11->C_GenerateKeyPair(session, &mechanism, publicTemplate, 2, &privateTemplate, 1, &pub, &priv);
  }
  EXPECT_EQ(rv, CKR_DEVICE_MEMORY);
  EXPECT_LT(made, 100);
  CK_OBJECT_CLASS dataClass = CKO_DATA;
  CK_BBOOL yes = CK_TRUE;
  Bytes value(600, 0x5A);
  std::vector<CK_ATTRIBUTE> pattern{attr(CKA_CLASS, dataClass), attr(CKA_TOKEN, yes),
                                    attr(CKA_VALUE, value.data(), value.size())};
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  EXPECT_EQ(p11->C_CreateObject(session, pattern.data(), pattern.size(), &handle), CKR_DEVICE_MEMORY);
  CK_TOKEN_INFO info{};
  ASSERT_EQ(p11->C_GetTokenInfo(kSlot, &info), CKR_OK);
  EXPECT_EQ(info.ulFreePublicMemory, 0u);
  EXPECT_EQ(info.ulFreePrivateMemory, 0u);
  // The pairs made before are all there.
  EXPECT_EQ(findClass(session, CKO_PRIVATE_KEY).size(), static_cast<std::size_t>(made - 1));
}

}  // namespace
}  // namespace p11test
