// Optional entry points of the reader driver, looked up at run time: a
// library linked against a driver that lacks one still loads and works.
#pragma once

namespace platform {

// The function `name` exported by the same module (shared library, DLL) as
// `knownFunction`, a function of that module the caller links against;
// nullptr when that module has no such export, or when the function is
// linked into the program itself.
void (*findEntryBeside(void (*knownFunction)(), const char* name))();

}  // namespace platform
