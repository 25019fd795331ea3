// The thread holds a reference on the module whose code it runs (the DLL, or
// the program when the library is linked in) from before it starts, and gives
// it back as its very last act with FreeLibraryAndExitThread: the loader can
// unmap the DLL only once the thread has left its code. When the library may
// wait, the thread's end is waited for, so that the caller's FreeLibrary that
// follows is the one that unloads the DLL (and releases its runtime state,
// see dll_runtime.cpp) rather than the thread.
#include "platform/library_thread.h"

#include <windows.h>
#include <winternl.h>

#include <chrono>
#include <cstddef>
#include <utility>

namespace platform {
namespace {

struct Start {
  std::function<void()> body;
  HMODULE module = nullptr;
};

DWORD WINAPI runThread(void* parameter) {
  HMODULE module = nullptr;
  {
    std::unique_ptr<Start> start(static_cast<Start*>(parameter));
    module = start->module;
    start->body();
  }  // the body and what it holds are released here, still inside the module
  FreeLibraryAndExitThread(module, 0);
}

// The process environment block, through ntdll's documented query.
const unsigned char* processEnvironmentBlock() {
  using Query = NTSTATUS(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<Query>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  PROCESS_BASIC_INFORMATION information{};
  if (query == nullptr ||
      query(GetCurrentProcess(), ProcessBasicInformation, &information, sizeof information, nullptr) != 0) {
    return nullptr;
  }
  return reinterpret_cast<const unsigned char*>(information.PebBaseAddress);
}

// True when the calling thread holds the loader's lock: it runs a DLL's
// entry point (or LoadLibrary's or FreeLibrary's work), and a thread that
// ends now waits for it. The lock is the critical section that the process
// environment block names (at 0xA0 in a 32-bit process, 0x110 in a 64-bit
// one; Wine keeps it there too). When that cannot be read, the answer is
// yes: not waiting is always safe.
bool callerHoldsLoaderLock() {
  constexpr std::size_t kLoaderLockOffset = sizeof(void*) == 4 ? 0xA0 : 0x110;
  const unsigned char* peb = processEnvironmentBlock();
  if (peb == nullptr) return true;
  const auto* lock = *reinterpret_cast<RTL_CRITICAL_SECTION* const*>(peb + kLoaderLockOffset);
  if (lock == nullptr) return true;
  return reinterpret_cast<DWORD_PTR>(lock->OwningThread) == GetCurrentThreadId();
}

class Win32LibraryThread : public LibraryThread {
 public:
  ~Win32LibraryThread() override {
    if (thread_ == nullptr) return;
    if (!callerHoldsLoaderLock()) WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
  }

  HANDLE thread_ = nullptr;
};

}  // namespace

std::unique_ptr<LibraryThread> LibraryThread::start(std::function<void()> body) {
  try {
    auto start = std::make_unique<Start>();
    start->body = std::move(body);
    auto thread = std::make_unique<Win32LibraryThread>();
    // A reference on the module that holds runThread, given back by the
    // thread at its end.
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&runThread), &start->module)) {
      return nullptr;
    }
    const HMODULE module = start->module;
    // The runtime's clock looks up GetSystemTimePreciseAsFileTime at its
    // first reading of the system clock, through GetModuleHandle and
    // GetProcAddress, which take the loader's lock. A thread's first timed
    // wait reads that clock with its caller's mutex held, and a DLL closing
    // a port from its process-detach notification holds the loader's lock
    // while it waits for that mutex. Read once here, before the thread is
    // there, the thread never needs the loader while it holds a mutex.
    (void)std::chrono::system_clock::now();
    thread->thread_ = CreateThread(nullptr, 0, runThread, start.get(), 0, nullptr);
    if (thread->thread_ == nullptr) {
      FreeLibrary(module);
      return nullptr;
    }
    (void)start.release();  // the thread's own now
    return thread;
  } catch (...) {
    return nullptr;
  }
}

}  // namespace platform
