// The surface a Windows host program sees: the names GetProcAddress finds in
// vorn_dal_pelu7.dll, the function table behind them, and the __stdcall
// convention of every entry (each callee removes exactly its arguments).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <set>

#include "loaded_dal.h"

namespace {

using wintest::DefExport;
using wintest::LoadedDal;

constexpr std::size_t kTableSlots = 69;
static_assert(sizeof(DalFunctionList) == kTableSlots * sizeof(void (*)()));

std::vector<DefExport> dalExports() { return wintest::readDefExports(PELU7_DAL_DEF); }

// The table's slots as plain code pointers.
std::vector<void (*)()> slotsOf(const DalFunctionList& table) {
  std::vector<void (*)()> slots(kTableSlots);
  std::memcpy(slots.data(), &table, sizeof table);
  return slots;
}

class DllSurface : public ::testing::Test {
 protected:
  void SetUp() override {
    // No reader: every card call fails at once, whatever its arguments.
    _putenv_s("PELU7_READERS", "USB1=vtoken:C:\\no\\such\\folder\\t.vtoken");
    ASSERT_TRUE(dal_.loaded()) << "LoadLibrary failed, error " << GetLastError();
  }
  LoadedDal dal_;
};

TEST_F(DllSurface, FindsEveryNameOfTheDefinitionFile) {
  const std::vector<DefExport> exports = dalExports();
  EXPECT_EQ(exports.size(), 70u);
  for (const DefExport& e : exports) EXPECT_NE(dal_.find(e.name.c_str()), nullptr) << e.name;
}

TEST_F(DllSurface, FindsThePortFunctionsUnderTheirDecoratedNamesOnly) {
  EXPECT_NE(dal_.find("_VORN_DAL_InitializeEx@4"), nullptr);
  EXPECT_NE(dal_.find("_VORN_DAL_FinalizeEx@4"), nullptr);
  for (const char* absent : {"VORN_DAL_InitializeEx", "VORN_DAL_InitializeEx@4", "_VORN_DAL_InitializeEx",
                             "VORN_DAL_FinalizeEx", "VORN_DAL_FinalizeEx@4", "VORN_DAL_Initialize@0",
                             "_VORN_DAL_Login@12", "VORN_DAL_Login@12"}) {
    EXPECT_EQ(dal_.find(absent), nullptr) << absent;
  }
}

TEST_F(DllSurface, TableHoldsTheExportedFunctions) {
  const std::vector<void (*)()> slots = slotsOf(dal_.table());
  std::set<void (*)()> exported;
  for (const DefExport& e : dalExports()) {
    if (e.name != "VORN_DAL_GetFunctionList") exported.insert(reinterpret_cast<void (*)()>(dal_.find(e.name.c_str())));
  }
  const std::set<void (*)()> inTable(slots.begin(), slots.end());
  EXPECT_EQ(inTable, exported);
  EXPECT_EQ(reinterpret_cast<void (*)()>(dal_.table().InitializeEx),
            reinterpret_cast<void (*)()>(dal_.find("_VORN_DAL_InitializeEx@4")));
  EXPECT_EQ(reinterpret_cast<void (*)()>(dal_.table().Login),
            reinterpret_cast<void (*)()>(dal_.find("VORN_DAL_Login")));
}

// Every export is called through the table's pointer (GetFunctionList by
// name) with as many zero words as its declaration takes: a callee with
// another convention or argument count leaves ESP moved.
TEST_F(DllSurface, EveryEntryRemovesExactlyItsArguments) {
  const std::vector<void (*)()> slots = slotsOf(dal_.table());
  for (const DefExport& e : dalExports()) {
    const auto byName = reinterpret_cast<void (*)()>(dal_.find(e.name.c_str()));
    ASSERT_NE(byName, nullptr) << e.name;
    const bool listed = std::find(slots.begin(), slots.end(), byName) != slots.end();
    ASSERT_TRUE(listed || e.name == "VORN_DAL_GetFunctionList") << e.name << " is not in the table";
    if (e.name == "VORN_DAL_GetFunctionList") {
      DalFunctionList list{};
      const std::uint32_t args[] = {static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&list))};
      int rc = -1;
      EXPECT_EQ(wintest::stackDrift(byName, args, 1, &rc), 0) << e.name;
      EXPECT_EQ(rc, 0);
      continue;
    }
    // Zero words: null pointers and zero lengths, refused by every entry
    // without a reader; only the message's buffer is required.
    std::uint32_t args[16] = {};
    char message[VORN_DAL_ERRMSG_SIZE];
    if (e.name == "VORN_DAL_GetErrMsg") args[1] = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(message));
    int rc = 0;
    EXPECT_EQ(wintest::stackDrift(byName, args, e.argumentBytes / 4, &rc), 0) << e.name;
  }
}

// The measure itself: one word too many stays on the stack (ESP 4 lower).
TEST_F(DllSurface, StackDriftSeesAWrongArgumentCount) {
  unsigned char buffer[8] = {};
  const std::uint32_t args[] = {sizeof buffer, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(buffer)),
                                0};
  int rc = 0;
  EXPECT_EQ(wintest::stackDrift(reinterpret_cast<void (*)()>(dal_.table().GenRand), args, 3, &rc), -4);
}

}  // namespace
