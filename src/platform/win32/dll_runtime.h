// The release of the statically linked C++ runtime's state when a DLL of the
// project is freed (dll_runtime.cpp), asked for by the DLL's entry point.
#pragma once

namespace platform::win32 {

// Called at DLL_PROCESS_DETACH when the DLL is freed (not at process exit):
// once the image's static destructors have run, the calling thread's runtime
// state, the exception pool and the image's TLS indexes are given back.
void releaseRuntimeAtUnload() noexcept;

}  // namespace platform::win32
