// vorn_dal_pelu7.dll and TKRDR.dll loaded and freed again and again over the
// stand-in winscard.dll beside them (scripted_winscard.cpp). Each cycle sends
// commands through the PC/SC backend, whose idle thread is still waiting to
// end the held transaction when the DAL closes the port, at Finalize or, with
// the port left open, at FreeLibrary. Every cycle must work, the transaction
// must end before the card is disconnected, and TKRDR.dll must be unloaded:
// at once after Finalize, soon after a FreeLibrary that closed the port. A
// thread left running in a freed DLL would crash the process.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "loaded_dal.h"

namespace {

constexpr int kCycles = 150;
// How long TKRDR.dll may take to go once its idle thread was told to end: a
// generous bound on a loaded machine; the time is not what is tested.
constexpr DWORD kUnloadLimitMs = 20000;

struct UnloadCase {
  const char* name;
  bool finalizeFirst;
};

class PcscUnload : public ::testing::TestWithParam<UnloadCase> {};

using EventsFunction = DWORD(WINAPI*)(char*, DWORD);

std::vector<std::string> takeEvents(EventsFunction events) {
  std::string text(1 << 16, '\0');
  const DWORD length = events(text.data(), static_cast<DWORD>(text.size()));
  EXPECT_LT(length, text.size()) << "more calls than the buffer holds";
  text.resize(std::min<std::size_t>(length, text.size() - 1));
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Waits until the stand-in has seen the call; false when it has not within
// the limit. The calls seen meanwhile are forgotten.
bool seenWithin(EventsFunction events, const std::string& call, DWORD limitMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    const std::vector<std::string> seen = takeEvents(events);
    if (std::find(seen.begin(), seen.end(), call) != seen.end()) return true;
    if (GetTickCount() - start > limitMs) return false;
    Sleep(1);
  }
}

bool tkrdrUnloadedWithin(DWORD limitMs) {
  const DWORD start = GetTickCount();
  while (GetModuleHandleA("TKRDR.dll") != nullptr) {
    if (GetTickCount() - start > limitMs) return false;
    Sleep(1);
  }
  return true;
}

// The stand-in, kept loaded by the test so that its record of the calls
// outlives the DLLs' cycles, and USB1 mapped to its reader.
EventsFunction standInService() {
  const HMODULE winscard = LoadLibraryA("winscard.dll");
  if (winscard == nullptr) return nullptr;
  _putenv_s("PELU7_READERS", "USB1=pcsc:Scripted Reader 00 00");
  const auto events = reinterpret_cast<EventsFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(winscard, "ScriptedWinscard_Events")));
  if (events != nullptr) takeEvents(events);
  return events;
}

TEST_P(PcscUnload, EveryCycleWorksEndsTheTransactionAndUnloadsTheDriver) {
  const EventsFunction events = standInService();
  ASSERT_NE(events, nullptr) << "Wine's own winscard.dll was loaded, not the stand-in (WINEDLLOVERRIDES)";

  for (int cycle = 0; cycle < kCycles; ++cycle) {
    {
      wintest::LoadedDal dal;
      ASSERT_TRUE(dal.loaded()) << "cycle " << cycle;
      ASSERT_EQ(0, dal.table().Initialize()) << "cycle " << cycle;
      int loggedIn = 0;
      ASSERT_EQ(0, dal.table().IsLogin(VORN_DAL_USER, &loggedIn)) << "cycle " << cycle;
      EXPECT_EQ(1, loggedIn);  // the scripted card answers 9000 to the flag file's read
      if (GetParam().finalizeFirst) {
        ASSERT_EQ(0, dal.table().Finalize()) << "cycle " << cycle;
      }
    }
    if (GetParam().finalizeFirst) {
      ASSERT_EQ(GetModuleHandleA("TKRDR.dll"), nullptr) << "cycle " << cycle;
    } else {
      ASSERT_TRUE(tkrdrUnloadedWithin(kUnloadLimitMs)) << "cycle " << cycle;
    }

    const std::vector<std::string> seen = takeEvents(events);
    ASSERT_GE(seen.size(), 4u) << "cycle " << cycle;
    EXPECT_EQ(seen.front(), "connect") << "cycle " << cycle;
    EXPECT_EQ(seen[seen.size() - 2], "end") << "cycle " << cycle;
    EXPECT_EQ(seen.back(), "disconnect") << "cycle " << cycle;
    const auto begins = std::count(seen.begin(), seen.end(), "begin");
    EXPECT_GE(begins, 1) << "cycle " << cycle;
    EXPECT_EQ(begins, std::count(seen.begin(), seen.end(), "end")) << "cycle " << cycle;
  }
}

INSTANTIATE_TEST_SUITE_P(Closing, PcscUnload,
                         ::testing::Values(UnloadCase{"FinalizeThenFreeLibrary", true},
                                           UnloadCase{"FreeLibraryWithThePortOpen", false}),
                         [](const ::testing::TestParamInfo<UnloadCase>& info) { return info.param.name; });

// A host that loads TKRDR.dll itself and frees it with a port still open:
// nothing closes that port, and its idle thread still has the transaction to
// end once the card is idle. The thread keeps the DLL loaded, and ends the
// transaction from code that is still there. (Its own program: the driver
// stays loaded in it for good.)
TEST(PcscUnloadPortLeftOpen, TheIdleThreadEndsTheTransactionInCodeStillLoaded) {
  const EventsFunction events = standInService();
  ASSERT_NE(events, nullptr) << "Wine's own winscard.dll was loaded, not the stand-in (WINEDLLOVERRIDES)";
  const HMODULE tkrdr = LoadLibraryA("TKRDR.dll");
  ASSERT_NE(tkrdr, nullptr);
  using Open = int(__stdcall*)(const char*, int, int);
  using Exchange = int(__stdcall*)(int, int, const unsigned char*, unsigned char*, unsigned char*);
  const auto open = reinterpret_cast<Open>(reinterpret_cast<void (*)()>(GetProcAddress(tkrdr, "CT_open")));
  const auto exchange =
      reinterpret_cast<Exchange>(reinterpret_cast<void (*)()>(GetProcAddress(tkrdr, "ICC_tsi_api")));
  ASSERT_NE(open, nullptr);
  ASSERT_NE(exchange, nullptr);

  const int handle = open("USB1", 1, 0);
  ASSERT_GE(handle, 0);
  const unsigned char selectMaster[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
  unsigned char response[258];
  unsigned char responseLength = 0;
  ASSERT_EQ(0x9000, exchange(handle, sizeof selectMaster, selectMaster, &responseLength, response));
  FreeLibrary(tkrdr);

  ASSERT_TRUE(seenWithin(events, "end", kUnloadLimitMs));
  EXPECT_NE(GetModuleHandleA("TKRDR.dll"), nullptr);
}

}  // namespace
