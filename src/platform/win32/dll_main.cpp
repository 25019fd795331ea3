// The entry point of the project's DLLs (linked into each DLL, with
// dll_runtime.cpp, not into the platform library). At DLL_PROCESS_DETACH it
// runs the unload actions (the DAL closes its open port there) and, when the
// DLL is being freed rather than the process ending, releases what libcrypto
// and the C++ runtime hold, so that the DLL can be loaded again and again.
// At process exit (reserved != NULL) both are left alone: other threads are
// gone and the process's memory goes anyway.
#include <windows.h>

#include <openssl/crypto.h>

#include "dll_runtime.h"
#include "unload_actions.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH) {
    platform::win32::runUnloadActions();
    if (reserved == nullptr) {
      OPENSSL_cleanup();
      platform::win32::releaseRuntimeAtUnload();
    }
  }
  return TRUE;
}
