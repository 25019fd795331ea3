// The lock "SemVornDal" that the processes using the token share
// (VORN_DAL_CreateMutex, VORN_DAL_LockMutex, VORN_DAL_UnLockMutex,
// VORN_DAL_DestroyMutex).
//
// Behaviour. A binary lock without an owner: LockMutex takes it or waits while
// it is held; UnLockMutex frees it, whoever took it (any thread of any process
// holding a handle may release it); releasing a free lock leaves it free. It is
// not re-entrant: two handles, or two threads, of one process exclude each
// other like two processes do. Destroying a handle does not release the lock.
//
// Object. One POSIX shared-memory object, /dev/shm/SemVornDal (shm_open name
// "/SemVornDal"), holds the lock state: the held flag, a record of the holding
// process, a wake-up counter that waiters sleep on (a futex) and a robust
// process-shared mutex that guards the state for the few instructions of each
// transition, never while anyone waits. The object stays in /dev/shm after the
// last handle is destroyed (it is one page); the next creator reuses it.
//
// Who shares it. Every process on this machine that sees the same /dev/shm
// (the same IPC namespace and mount) and may open the object. It is created
// with mode 0600, like a kernel object with default security: processes of the
// user who created it share it, and root may join. An object that belongs to
// another ordinary user is refused (CreateMutex returns -190) rather than
// trusted, since anyone able to write it could hold or corrupt the lock; a
// damaged object is refused the same way, never silently reset.
//
// A holder that dies. The record holds the holder's process id, its start time
// (from /proc/PID/stat, so that a recycled process id is not mistaken for the
// holder) and its PID namespace. A waiter sleeps at most kRecoverySlice at a
// time; after each slice it looks at the record, and when the holder has ended
// (no such process, a zombie, or another process under the same id) it takes
// the lock over. So the lock comes free at most about one slice (one second)
// after its holder dies, and at once for a process that starts to wait later.
// A holder in another PID namespace cannot be looked at and is never taken
// over. A lock that was released and re-taken is never taken over, because a
// release clears the record and a take-over needs the record of a dead holder.
//
// Failures. LockMutex and UnLockMutex return -191 when the operating system
// fails them (or when the handle is null), 0 otherwise. CreateMutex returns
// -190 when the handle cell cannot be allocated (logging "******>malloc") or
// the object cannot be opened, mapped or trusted.
#pragma once

#include <string>

namespace pelu7::testing {

// Makes the next handle allocation fail (tests only).
void failNextLockHandleAllocation();

// Uses another object name for the handles created from now on, so that tests
// that release a lock held by nobody do not disturb others; an empty name
// restores "/SemVornDal" (tests only).
void setLockObjectName(const std::string& name);

}  // namespace pelu7::testing
