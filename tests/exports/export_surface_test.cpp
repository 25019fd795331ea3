// The export table and the function table of the built libvorn_dal_pelu7.so,
// seen as a host program sees them: through dlopen and dlsym.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <cstring>
#include <set>
#include <string>

#include "vorn_dal_pelu7.h"

namespace {

constexpr const char* kLibraryPath = PELU7_BUILD_DIR "/lib/libvorn_dal_pelu7.so";
constexpr size_t kSlots = 69;

// The function of each slot of DalFunctionList, by its exported name.
constexpr std::array<const char*, kSlots> kSlotNames = {
    "VORN_DAL_Initialize",          "VORN_DAL_Finalize",           "VORN_DAL_FormatDevice",
    "VORN_DAL_GetFreeSpace",        "VORN_DAL_Login",              "VORN_DAL_Logout",
    "VORN_DAL_IsLogin",             "VORN_DAL_ChangePin",          "VORN_DAL_UnlockPin",
    "VORN_DAL_CreateGlobalInfoFile", "VORN_DAL_ReadGlobalInfoFile", "VORN_DAL_WriteGlobalInfoFile",
    "VORN_DAL_CreateUsrDataFile",   "VORN_DAL_ReadUsrDataFile",    "VORN_DAL_WriteUsrDataFile",
    "VORN_DAL_DeleteUsrDataFile",   "VORN_DAL_GenRsaKeyPair",      "VORN_DAL_GetPublicKey",
    "VORN_DAL_ImportRsaKeyPair",    "VORN_DAL_RsaPrivateKeyRaw",   "VORN_DAL_RsaPublicKeyRaw",
    "VORN_DAL_Pkcs1RsaPublicKeyEnc", "VORN_DAL_Pkcs1RsaPublicKeyDec",
    "VORN_DAL_DesAcquireContext",   "VORN_DAL_DesEncUpdate",       "VORN_DAL_DesEncFinal",
    "VORN_DAL_DesReleaseCtx",       "VORN_DAL_DesEncrypt",         "VORN_DAL_DesDecUpdate",
    "VORN_DAL_DesDecFinal",         "VORN_DAL_DesDecrypt",         "VORN_DAL_DesMacUpdate",
    "VORN_DAL_DesMacFinal",         "VORN_DAL_DesMac",
    "VORN_DAL_Rc2AcquireContext",   "VORN_DAL_Rc2EncUpdate",       "VORN_DAL_Rc2EncFinal",
    "VORN_DAL_Rc2ReleaseCtx",       "VORN_DAL_Rc2Encrypt",         "VORN_DAL_Rc2DecUpdate",
    "VORN_DAL_Rc2DecFinal",         "VORN_DAL_Rc2Decrypt",         "VORN_DAL_Rc2MacUpdate",
    "VORN_DAL_Rc2MacFinal",         "VORN_DAL_Rc2Mac",
    "VORN_DAL_Rc4AcquireContext",   "VORN_DAL_Rc4Update",          "VORN_DAL_Rc4Final",
    "VORN_DAL_Rc4ReleaseCtx",       "VORN_DAL_Rc4Encrypt",
    "VORN_DAL_SSF33AcquireContext", "VORN_DAL_SSF33EncUpdate",     "VORN_DAL_SSF33EncFinal",
    "VORN_DAL_SSF33ReleaseCtx",     "VORN_DAL_SSF33Encrypt",       "VORN_DAL_SSF33DecUpdate",
    "VORN_DAL_SSF33DecFinal",       "VORN_DAL_SSF33Decrypt",       "VORN_DAL_SSF33MacUpdate",
    "VORN_DAL_SSF33MacFinal",       "VORN_DAL_SSF33Mac",
    "VORN_DAL_GenRand",             "VORN_DAL_GetErrMsg",
    "VORN_DAL_CreateMutex",         "VORN_DAL_LockMutex",          "VORN_DAL_UnLockMutex",
    "VORN_DAL_DestroyMutex",
    "_VORN_DAL_InitializeEx@4",     "_VORN_DAL_FinalizeEx@4",
};
static_assert(sizeof(DalFunctionList) == kSlots * sizeof(void*), "one machine word per slot");

void* library() {
  static void* const handle = dlopen(kLibraryPath, RTLD_NOW | RTLD_LOCAL);
  return handle;
}

void* symbol(const char* name) { return library() == nullptr ? nullptr : dlsym(library(), name); }

// The table filled by the library, as 69 addresses; unfilled slots keep a
// poison pattern.
std::array<void*, kSlots> filledTable() {
  DalFunctionList list;
  std::memset(&list, 0xA5, sizeof list);
  using GetFunctionList = int(VORN_DAL_CALL*)(DalFunctionList*);
  auto get = reinterpret_cast<GetFunctionList>(symbol("VORN_DAL_GetFunctionList"));
  EXPECT_NE(nullptr, get);
  if (get != nullptr) {
    EXPECT_EQ(0, get(&list));
  }
  std::array<void*, kSlots> slots;
  std::memcpy(slots.data(), &list, sizeof list);
  return slots;
}

class ExportTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(nullptr, library()) << dlerror(); }
};

class ExportedNameTest : public ExportTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ExportedNameTest, Resolves) { EXPECT_NE(nullptr, symbol(GetParam())); }

INSTANTIATE_TEST_SUITE_P(TableNames, ExportedNameTest, ::testing::ValuesIn(kSlotNames));
INSTANTIATE_TEST_SUITE_P(TheTableItself, ExportedNameTest, ::testing::Values("VORN_DAL_GetFunctionList"));

class HiddenNameTest : public ExportTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(HiddenNameTest, IsNotExported) { EXPECT_EQ(nullptr, symbol(GetParam())); }

// The port functions exist only under their decorated names; the link-time
// placeholders of those names do not survive either.
INSTANTIATE_TEST_SUITE_P(PortFunctions, HiddenNameTest,
                         ::testing::Values("VORN_DAL_InitializeEx", "VORN_DAL_FinalizeEx",
                                           "_VORN_DAL_InitializeEx_4", "_VORN_DAL_FinalizeEx_4"));

TEST_F(ExportTest, AliasesShareOneFunction) {
  EXPECT_EQ(symbol("VORN_DAL_DesReleaseCtx"), symbol("VORN_DAL_Rc2ReleaseCtx"));
  EXPECT_EQ(symbol("VORN_DAL_DesReleaseCtx"), symbol("VORN_DAL_Rc4ReleaseCtx"));
  EXPECT_EQ(symbol("VORN_DAL_Rc4Update"), symbol("VORN_DAL_Rc4Encrypt"));

  // 70 names, 67 functions: no other two names share one.
  std::set<void*> functions{symbol("VORN_DAL_GetFunctionList")};
  for (const char* name : kSlotNames) functions.insert(symbol(name));
  EXPECT_EQ(67u, functions.size());
  EXPECT_EQ(0u, functions.count(nullptr));
}

class SlotTest : public ExportTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(SlotTest, HoldsTheFunctionOfItsName) {
  const size_t slot = GetParam();
  EXPECT_EQ(symbol(kSlotNames[slot]), filledTable()[slot]) << "slot " << slot << ": " << kSlotNames[slot];
}

INSTANTIATE_TEST_SUITE_P(AllSlots, SlotTest, ::testing::Range<size_t>(0, kSlots));

TEST_F(ExportTest, SharedSlotsHoldOnePointer) {
  const auto slots = filledTable();
  EXPECT_EQ(slots[26], slots[37]);
  EXPECT_EQ(slots[26], slots[48]);
  EXPECT_EQ(slots[46], slots[49]);
}

// Slot 67 opens the port it is given: only USB3 exists here, so the default
// ports (USB1, USB2) and index 0 do not open, and index 2 does.
TEST_F(ExportTest, Slot67OpensTheChosenPort) {
  setenv("PELU7_READERS", "USB3=vtoken:", 1);
  DalFunctionList list;
  using GetFunctionList = int(VORN_DAL_CALL*)(DalFunctionList*);
  reinterpret_cast<GetFunctionList>(symbol("VORN_DAL_GetFunctionList"))(&list);

  EXPECT_EQ(VORN_DAL_ERR_OPEN_DEVICE, list.InitializeEx(0));
  EXPECT_EQ(VORN_DAL_ERR_OPEN_DEVICE, list.Initialize());
  ASSERT_EQ(0, list.InitializeEx(2));
  unsigned char random[8] = {};
  EXPECT_EQ(0, list.GenRand(sizeof random, random));
  EXPECT_EQ(0, list.FinalizeEx(0));
  EXPECT_EQ(VORN_DAL_ERR_OPEN_DEVICE, list.Initialize());
}

}  // namespace
