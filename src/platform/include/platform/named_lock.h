// A named lock shared by the processes of one user: the lock behind
// VORN_DAL_CreateMutex, VORN_DAL_LockMutex, VORN_DAL_UnLockMutex and
// VORN_DAL_DestroyMutex.
//
// Behaviour. A binary lock without an owner, like a Windows semaphore of one
// count: lockNamedLock takes it or waits while it is held; unlockNamedLock
// frees it, whoever took it (any thread of any process holding a handle may
// release it); releasing a free lock leaves it free. It is not re-entrant:
// two handles, or two threads, of one process exclude each other like two
// processes do. Closing a handle does not release the lock.
//
// One lock per user. On Windows the name lives in the object namespace of one
// log-on and is shared by that log-on's processes (CreateSemaphoreA,
// WaitForSingleObject, ReleaseSemaphore, CloseHandle). On POSIX systems each
// user has a lock object of their own in a folder other users cannot write
// where the system has one; a holder that ends without releasing is
// recovered, and a child forked with a handle never stands for its parent's
// takes (see posix/named_lock.cpp).
#pragma once

#include <string>

namespace platform {

// A handle on the lock; made by openNamedLock, given back by closeNamedLock.
class NamedLock;

enum class NamedLockOpening {
  kOpened,
  kOutOfMemory,  // the handle itself could not be allocated
  kUnavailable,  // the operating system refused the lock, or it cannot be trusted
};

// Opens the lock `name` of the calling user, creating it free when it does
// not exist yet. `lock` is set only when kOpened is returned.
NamedLockOpening openNamedLock(const char* name, NamedLock*& lock) noexcept;

// Takes the lock, waiting while another holder may still be at work. False
// when the operating system fails the wait or the holder cannot be decided
// in time, and at once when the lock object has been shortened or written
// over (the lock is then not taken).
bool lockNamedLock(NamedLock& lock) noexcept;

// Frees the lock, whoever holds it. False when the operating system fails it,
// or (POSIX) when the lock object has been shortened or written over.
bool unlockNamedLock(NamedLock& lock) noexcept;

// Gives the handle back. A lock taken through it stays held.
void closeNamedLock(NamedLock* lock) noexcept;

namespace testing {

// Makes the next handle allocation fail (tests only).
void failNextLockHandleAllocation();

// Opens the handles created from now on under another object name than the
// one asked for ("/" and a stem; a POSIX object keeps its folder and the
// user id appended), so that tests that release a lock held by nobody do not
// disturb others; an empty prefix restores the name asked for (tests only).
void setLockObjectPrefix(const std::string& prefix);

}  // namespace testing
}  // namespace platform
