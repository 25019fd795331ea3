// The process environment, as the driver reads its settings (the port map).
#pragma once

#include <optional>
#include <string>

namespace platform {

// The value of the environment variable `name` in UTF-8; nullopt when it is
// not set (a variable set to the empty string gives an empty string).
//
// POSIX: the bytes as they stand. Windows: read through the UTF-16
// environment, so that every character survives, also those outside the
// ANSI code page.
std::optional<std::string> environmentVariable(const char* name);

}  // namespace platform
