// The lock handles of this process: each has a session of its own (its own
// open file description of the lock object), also in a child forked from the
// process that made it; a handle given back while a take through it still
// holds the lock is kept until that take is over (see named_lock.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "lock_state.h"

namespace platform {

// What a lock handle points to.
class NamedLock {
 public:
  posix::LockObject object;
  std::string path;  // the object's path, for reopening it without /proc
  // The session of this handle's own description: what a take through it
  // stores in the owner word. Changed only by a fork handler or a renewal.
  std::atomic<std::uint32_t> session{0};
  // True when a fork left the handle without a description of its own; the
  // next take through it tries again to get one.
  std::atomic<bool> needsSession{false};
  // True when the last release through this handle woke a waiter, which its
  // next take lets go first.
  std::atomic<bool> wokeWaiter{false};
  // The earlier description of this handle, kept open after a fork while
  // the take made through it still holds the lock; -1 when none.
  int heldFd = -1;
  std::uint32_t heldSession = 0;
  bool givenBack = false;   // closed by the caller, kept for a take that holds
  bool heldAtFork = false;  // set while a fork is under way
  NamedLock* next = nullptr;
};

namespace posix {

inline std::uint32_t ownerSession(SharedLockState& state) {
  return std::atomic_ref<std::uint32_t>(state.owner).load(std::memory_order_acquire) & ~kSleeping;
}

// Adds an opened handle to the process's list (which the fork handlers walk).
void registerHandle(NamedLock& handle) noexcept;

// The caller gives the handle back: it is freed now, or kept (with its
// description) while a take through it holds the lock.
void giveBackHandle(NamedLock* handle) noexcept;

// Whether some handle or description is kept for a take; one load.
bool anyKept() noexcept;

// Closes the kept descriptions and frees the kept handles whose take is over.
void sweepKept() noexcept;

// Gives a handle that a fork left without a description of its own a new
// one. False when the system refused it again.
bool renewSession(NamedLock& handle) noexcept;

}  // namespace posix
}  // namespace platform
