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
// One lock per user. On Windows the name lives in the object namespace of one
// log-on and is shared by that log-on's processes. Here each user has a lock
// object of their own, named after the effective user id: the POSIX
// shared-memory object "/SemVornDal.UID" (/dev/shm/SemVornDal.UID). All
// processes of one user that see the same /dev/shm share it; processes of
// different users (root included) never share a lock, and no user can keep
// another from creating theirs. The object holds the held flag, the holder's
// record and session, a wake-up counter that waiters sleep on (a futex) and a
// robust process-shared mutex that guards the state for the few instructions
// of each transition. It stays in /dev/shm after the last handle is destroyed
// (it takes one page); the next creator reuses it.
//
// Which object is trusted. Only a plain object owned by the calling user,
// with mode 0600 (an unfinished empty one may be narrower, from the umask),
// the expected size, and a state of this layout. Anything else is refused with
// -190 rather than trusted or reset: whoever could write the object could
// hold or corrupt the lock. Another user can only make a user's lock
// unavailable by creating an object under that user's name in /dev/shm first,
// on purpose; CreateMutex then returns -190 (it does not wait or fall back to
// a name that the processes of one user might not agree on).
//
// A full /dev/shm. The object's memory is reserved (posix_fallocate) before
// it is first written, so CreateMutex returns -190 instead of dying of SIGBUS.
//
// Who holds it. Taking the lock records the holding process (process id,
// start time from /proc/PID/stat, PID namespace) and begins a session: the
// handle's own open file description of the object takes an OFD write lock
// on one byte numbered by the session. A child forked while the lock is held
// inherits that description, and the kernel keeps the session's lock until
// every process that shares it has closed it or ended. The holder counts as
// at work while its process lives (whatever became of its handle) or while
// its session lives (a forked child still working under the lock after the
// parent has ended). A child that closes the inherited handle, or execs
// (the descriptor is close-on-exec), leaves the session.
//
// A holder that ended. A waiter sleeps at most kRecoverySlice at a time and
// then looks at the holder again: when the holder's process has surely ended
// (no such process, a zombie, or another process under the same id) and its
// session is gone, it takes the lock over. So the lock comes free at most
// about one slice after its last worker ends, and at once for a process that
// starts to wait later. A lock that was released and re-taken is never taken
// over by mistake: the session number moves on with every take.
//
// A holder that cannot be checked: one in another PID namespace, or a record
// without a start time, whose session is not alive. It is treated as held for
// kUncheckedHoldLimit (5 s) of one LockMutex call, which then returns -191; the
// same goes for a guard that does not come free within that limit (an object
// tampered with by its own user). LockMutex never waits for ever on what it
// cannot check. A holder process that lives is waited for as long as it
// lives, as a Windows semaphore would be.
//
// Failures. LockMutex and UnLockMutex return -191 when the operating system
// fails them, the guard does not come free, the holder cannot be checked in
// time, or the handle is null; 0 otherwise. CreateMutex returns -190 when the
// handle cell cannot be allocated (logging "******>malloc") or the object
// cannot be opened, reserved, mapped or trusted.
#pragma once

#include <chrono>
#include <string>

namespace pelu7::testing {

// Makes the next handle allocation fail (tests only).
void failNextLockHandleAllocation();

// Uses another prefix than "/SemVornDal" for the handles created from now on
// (the user id is still appended), so that tests that release a lock held by
// nobody do not disturb others; an empty prefix restores it (tests only).
void setLockObjectPrefix(const std::string& prefix);

// Waits for a holder that cannot be checked, or for the guard, only `limit`
// instead of kUncheckedHoldLimit; zero restores it (tests only).
void setUncheckedHoldLimit(std::chrono::milliseconds limit);

}  // namespace pelu7::testing
