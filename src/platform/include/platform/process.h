// The calling process, as the layers above tell a forked child from the
// process that opened something.
#pragma once

namespace platform {

// The calling process's id (POSIX getpid, Windows GetCurrentProcessId).
unsigned long processId();

}  // namespace platform
