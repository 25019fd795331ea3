// A host that loads the DLL for each job: load, Initialize, IsLogin,
// Finalize, FreeLibrary, two thousand times in one process. Every cycle
// works, and the process's TLS indexes and handles stay where they were; its
// heap grows by no more than a small bound per cycle (the C++ runtime's own
// bookkeeping, about 0.5 KB a cycle for the two DLLs, see
// src/platform/win32/dll_runtime.cpp).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "loaded_dal.h"

namespace {

constexpr int kCycles = 2000;
constexpr int kWarmUpCycles = 20;
// A generous bound: ten times what the runtime keeps per cycle.
constexpr long long kHeapBytesPerCycle = 5000;

// The index TlsAlloc would give now: the lowest free one.
DWORD nextTlsIndex() {
  const DWORD index = TlsAlloc();
  TlsFree(index);
  return index;
}

// The value a new handle would get now: the lowest free slot of the handle
// table under Wine, whose GetProcessHandleCount counts nothing.
std::uintptr_t nextHandleValue() {
  const HANDLE handle = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  CloseHandle(handle);
  return reinterpret_cast<std::uintptr_t>(handle);
}

DWORD handleCount() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}

// Bytes of all busy blocks of the process's heaps (msvcrt's included).
std::size_t heapBytesInUse() {
  HANDLE heaps[64];
  const DWORD count = GetProcessHeaps(64, heaps);
  std::size_t total = 0;
  for (DWORD i = 0; i < count && i < 64; ++i) {
    if (!HeapLock(heaps[i])) continue;
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heaps[i], &entry)) {
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData;
    }
    HeapUnlock(heaps[i]);
  }
  return total;
}

// One job: the error of the first call that fails, or an empty string.
std::string oneJob() {
  wintest::LoadedDal dal;
  if (!dal.loaded()) return "LoadLibrary failed, error " + std::to_string(GetLastError());
  if (int rc = dal.table().Initialize(); rc != 0) return "Initialize gave " + std::to_string(rc);
  int loggedIn = -1;
  if (int rc = dal.table().IsLogin(VORN_DAL_USER, &loggedIn); rc != 0) return "IsLogin gave " + std::to_string(rc);
  if (int rc = dal.table().Finalize(); rc != 0) return "Finalize gave " + std::to_string(rc);
  return {};
}

TEST(Reload, TwoThousandLoadCyclesKeepNothing) {
  wintest::TempFolder folder;
  wintest::useTokenFile(folder.file("jobs.vtoken"));
  {
    wintest::LoadedDal dal;
    ASSERT_TRUE(dal.loaded());
    const unsigned char superPin[] = "87654321", userPin[] = "12345678";
    ASSERT_EQ(0, dal.table().FormatDevice(superPin, 8, userPin, 8));
    ASSERT_EQ(0, dal.table().Finalize());
  }
  for (int cycle = 0; cycle < kWarmUpCycles; ++cycle) ASSERT_EQ(oneJob(), "") << "cycle " << cycle;
  const DWORD tlsBefore = nextTlsIndex();
  const std::uintptr_t handleBefore = nextHandleValue();
  const DWORD handlesBefore = handleCount();
  const std::size_t heapBefore = heapBytesInUse();

  for (int cycle = kWarmUpCycles; cycle < kCycles; ++cycle) ASSERT_EQ(oneJob(), "") << "cycle " << cycle;

  EXPECT_EQ(nextTlsIndex(), tlsBefore);
  EXPECT_EQ(nextHandleValue(), handleBefore);
  EXPECT_EQ(handleCount(), handlesBefore);
  const long long measured = kCycles - kWarmUpCycles;
  const long long growthPerCycle =
      (static_cast<long long>(heapBytesInUse()) - static_cast<long long>(heapBefore)) / measured;
  EXPECT_LE(growthPerCycle, kHeapBytesPerCycle);
  std::printf("heap growth over %lld cycles: %lld bytes a cycle\n", measured, growthPerCycle);
}

}  // namespace
