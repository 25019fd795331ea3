// The unload actions registered through platform::runAtUnload, run by the
// DLL's entry point at DLL_PROCESS_DETACH, last registered first.
#pragma once

namespace platform::win32 {

void runUnloadActions() noexcept;

}  // namespace platform::win32
