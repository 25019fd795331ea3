// Work around fork() on POSIX systems; nothing on Windows, which has no fork.
#pragma once

namespace platform {

// Registers three functions run around every fork() of this process: prepare
// in the forking thread just before, parent and child just after, in the
// process each names. The same order and rules as pthread_atfork. False when
// they cannot be registered.
bool runAroundFork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept;

}  // namespace platform
