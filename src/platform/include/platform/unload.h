// Work to do when the library is unloaded: at dlclose or process exit on
// POSIX systems, at DLL_PROCESS_DETACH on Windows.
#pragma once

namespace platform {

// Runs `action` once when the library that registered it is unloaded or the
// process ends. Registering an action again changes nothing. Actions run in
// the reverse order of their first registration, and before whatever the
// process had set up for unloading before that registration (so an action
// registered after another library's state exists runs before that state
// is torn down). At most a few actions may be registered; false when there is
// no room left.
bool runAtUnload(void (*action)()) noexcept;

}  // namespace platform
