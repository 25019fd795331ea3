// Gives back, when a DLL of the project is freed, what its statically linked
// C++ runtime took from the process and would otherwise keep for ever: the
// TLS indexes taken from this image (through a ledger bound to the image's
// import slots of TlsAlloc and TlsFree), the calling thread's winpthreads
// record and handles, and libstdc++'s emergency exception pool. Why and what
// stays behind: README.md, "Loading and freeing a DLL again and again".
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "dll_runtime.h"

// libstdc++: frees the emergency exception pool; no exception may be thrown
// from this image afterwards.
namespace __gnu_cxx {
void __freeres() noexcept;
}

extern "C" {
// winpthreads' TLS callback: with DLL_THREAD_DETACH it runs the calling
// thread's key destructors and releases its record and handles.
extern PIMAGE_TLS_CALLBACK __xl_f;
}

namespace platform::win32 {
namespace {

using TlsAllocFunction = DWORD(WINAPI*)();
using TlsFreeFunction = BOOL(WINAPI*)(DWORD);

// TLS_MINIMUM_AVAILABLE plus the 1024 expansion slots.
constexpr DWORD kTlsIndexes = 1088;
constexpr DWORD kBitsPerWord = 32;
std::atomic<std::uint32_t> ledger[kTlsIndexes / kBitsPerWord];

bool freedByFreeLibrary = false;

// kernel32's own functions, looked up by name at first use: this image's
// import slots for them lead to the ledger. No function-local static here:
// its guard would run pthread_once, which itself allocates a TLS index.
template <typename Function>
Function kernel32Function(std::atomic<Function>& cache, const char* name) {
  Function function = cache.load();
  if (function == nullptr) {
    function = reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
    cache.store(function);
  }
  return function;
}

std::atomic<TlsAllocFunction> kernel32TlsAlloc{nullptr};
std::atomic<TlsFreeFunction> kernel32TlsFree{nullptr};

TlsAllocFunction realTlsAlloc() { return kernel32Function(kernel32TlsAlloc, "TlsAlloc"); }

TlsFreeFunction realTlsFree() { return kernel32Function(kernel32TlsFree, "TlsFree"); }

DWORD WINAPI ledgerTlsAlloc() {
  const DWORD index = realTlsAlloc()();
  if (index < kTlsIndexes) ledger[index / kBitsPerWord].fetch_or(1u << (index % kBitsPerWord));
  return index;
}

BOOL WINAPI ledgerTlsFree(DWORD index) {
  if (index < kTlsIndexes) ledger[index / kBitsPerWord].fetch_and(~(1u << (index % kBitsPerWord)));
  return realTlsFree()(index);
}

void freeLedgerIndexes() {
  for (DWORD word = 0; word < kTlsIndexes / kBitsPerWord; ++word) {
    const std::uint32_t held = ledger[word].exchange(0);
    for (DWORD bit = 0; bit < kBitsPerWord; ++bit) {
      if (held & (1u << bit)) realTlsFree()(word * kBitsPerWord + bit);
    }
  }
}

void teardownRuntime() {
  if (!freedByFreeLibrary) return;
  __xl_f(nullptr, DLL_THREAD_DETACH, nullptr);
  __gnu_cxx::__freeres();
  freeLedgerIndexes();
}

// The image's atexit table runs last registered first, after DllMain's
// DLL_PROCESS_DETACH; registered by the first constructor of all, the
// teardown runs after every static destructor, when no code of the image
// runs any more.
__attribute__((constructor(101))) void registerTeardownFirst() { std::atexit(teardownRuntime); }

}  // namespace

void releaseRuntimeAtUnload() noexcept { freedByFreeLibrary = true; }

}  // namespace platform::win32

// The image's import slots of TlsAlloc and TlsFree: calls from this image's
// code (winpthreads, libcrypto, the project's own) are bound to these
// pointers instead of kernel32's import library.
extern "C" {
platform::win32::TlsAllocFunction importedTlsAlloc __asm__("__imp__TlsAlloc@0") =
    platform::win32::ledgerTlsAlloc;
platform::win32::TlsFreeFunction importedTlsFree __asm__("__imp__TlsFree@4") = platform::win32::ledgerTlsFree;
}
