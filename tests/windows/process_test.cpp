// What spans processes and the DLL's lifetime: the lock "SemVornDal" between
// two processes started with CreateProcess, and FreeLibrary closing the port
// the DLL opened.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "loaded_dal.h"
#include "platform/reader_driver.h"

namespace {

constexpr const char* kChildVariable = "PELU7_LOCK_CHILD";
constexpr const char* kReadyEvent = "pelu7-lock-child-ready";
constexpr DWORD kBoundedWait = 60000;  // only to end a hung run

// A process handle closed when the object goes.
struct Handle {
  HANDLE value = nullptr;
  ~Handle() {
    if (value != nullptr) CloseHandle(value);
  }
};

// The child: signals that it is about to lock, then takes the lock (waiting
// while the parent holds it) and releases it. Skipped unless started by the
// parent below.
TEST(LockChild, TakesTheLockOnceFree) {
  if (std::getenv(kChildVariable) == nullptr) GTEST_SKIP() << "run by LockAcrossProcesses";
  wintest::LoadedDal dal;
  ASSERT_TRUE(dal.loaded());
  void* lock = nullptr;
  ASSERT_EQ(0, dal.table().CreateMutex(&lock));
  Handle ready{OpenEventA(EVENT_MODIFY_STATE, FALSE, kReadyEvent)};
  ASSERT_NE(ready.value, nullptr);
  SetEvent(ready.value);
  EXPECT_EQ(0, dal.table().LockMutex(lock));
  EXPECT_EQ(0, dal.table().UnLockMutex(lock));
  EXPECT_EQ(0, dal.table().DestroyMutex(lock));
}

TEST(LockAcrossProcesses, ChildWaitsWhileTheParentHoldsTheLock) {
  wintest::LoadedDal dal;
  ASSERT_TRUE(dal.loaded());
  void* lock = nullptr;
  ASSERT_EQ(0, dal.table().CreateMutex(&lock));
  ASSERT_EQ(0, dal.table().LockMutex(lock));

  Handle ready{CreateEventA(nullptr, TRUE, FALSE, kReadyEvent)};
  ASSERT_NE(ready.value, nullptr);
  char self[MAX_PATH];
  ASSERT_NE(0u, GetModuleFileNameA(nullptr, self, sizeof self));
  std::string command = std::string("\"") + self + "\" --gtest_filter=LockChild.*";
  _putenv_s(kChildVariable, "1");
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  const BOOL started =
      CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child);
  _putenv_s(kChildVariable, "");
  ASSERT_TRUE(started) << "CreateProcess failed, error " << GetLastError();
  Handle process{child.hProcess};
  Handle thread{child.hThread};

  // Once the child is at its lock call, it cannot end while the lock is held.
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready.value, kBoundedWait));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(process.value, 500));
  EXPECT_EQ(0, dal.table().UnLockMutex(lock));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.value, kBoundedWait));
  DWORD exitCode = 1;
  GetExitCodeProcess(process.value, &exitCode);
  EXPECT_EQ(0u, exitCode);
  EXPECT_EQ(0, dal.table().DestroyMutex(lock));
}

// TKRDR.dll stays loaded by the test itself; after FreeLibrary of the DAL
// its port is free again: the next CT_open gets the same, smallest handle.
TEST(Unload, FreeLibraryClosesThePortTheDllOpened) {
  wintest::TempFolder folder;
  wintest::useTokenFile(folder.file("a.vtoken"));
  const HMODULE driver = LoadLibraryA("TKRDR.dll");
  ASSERT_NE(driver, nullptr);
  const auto open = reinterpret_cast<int(TKRDR_CALL*)(const char*, int, int)>(
      reinterpret_cast<void (*)()>(GetProcAddress(driver, "CT_open")));
  const auto close = reinterpret_cast<int(TKRDR_CALL*)(int)>(
      reinterpret_cast<void (*)()>(GetProcAddress(driver, "CT_close")));
  ASSERT_NE(open, nullptr);
  ASSERT_NE(close, nullptr);

  wintest::LoadedDal dal;
  ASSERT_TRUE(dal.loaded());
  ASSERT_EQ(0, dal.table().Initialize());
  const int whileOpen = open("USB1", 1, 0);
  ASSERT_GE(whileOpen, 0);
  ASSERT_EQ(0, close(whileOpen));

  dal.unload();
  const int afterUnload = open("USB1", 1, 0);
  EXPECT_LT(afterUnload, whileOpen) << "the DAL's port is still open";
  EXPECT_EQ(0, close(afterUnload));
  FreeLibrary(driver);
}

}  // namespace
