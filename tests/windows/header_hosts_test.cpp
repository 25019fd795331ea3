// Host programs in C and C++ that include <windows.h> and the public header
// in either order, and call every member of the function table by its name
// (host_calls.inc), each on a fresh token through the loaded DLL.
#include <gtest/gtest.h>

#include "loaded_dal.h"

extern "C" {
void hostCWindowsFirst(const DalFunctionList* f, int* rc, int* details);
void hostCHeaderFirst(const DalFunctionList* f, int* rc, int* details);
void hostCppWindowsFirst(const DalFunctionList* f, int* rc, int* details);
void hostCppHeaderFirst(const DalFunctionList* f, int* rc, int* details);
}

namespace {

constexpr int kSlots = 69;
constexpr int kDetails = 8;
constexpr int kGetFreeSpaceSlot = 3;

struct HostProgram {
  const char* name;
  void (*callEveryMember)(const DalFunctionList*, int*, int*);
};

class HeaderHosts : public ::testing::TestWithParam<HostProgram> {};

TEST_P(HeaderHosts, CallEveryMemberByItsName) {
  wintest::TempFolder folder;
  wintest::useTokenFile(folder.file("host.vtoken"));
  wintest::LoadedDal dal;
  ASSERT_TRUE(dal.loaded());
  int rc[kSlots];
  int details[kDetails] = {};
  GetParam().callEveryMember(&dal.table(), rc, details);
  for (int slot = 0; slot < kSlots; ++slot) {
    EXPECT_EQ(rc[slot], slot == kGetFreeSpaceSlot ? VORN_DAL_ERR_NOT_SUPPORTED : 0) << "slot " << slot;
  }
  // The user is logged in; files, the key pair and the ciphers give back
  // what went in.
  for (int i = 0; i < kDetails; ++i) EXPECT_EQ(details[i], 1) << "detail " << i;
}

INSTANTIATE_TEST_SUITE_P(BothOrders, HeaderHosts,
                         ::testing::Values(HostProgram{"CWindowsFirst", hostCWindowsFirst},
                                           HostProgram{"CHeaderFirst", hostCHeaderFirst},
                                           HostProgram{"CppWindowsFirst", hostCppWindowsFirst},
                                           HostProgram{"CppHeaderFirst", hostCppHeaderFirst}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
