// The state of the named lock in shared memory (see named_lock.cpp for the
// design): the object that holds it and the owner word that waiters sleep on
// (a futex).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "lock_holder.h"
#include "native_file.h"

namespace platform::posix {

inline constexpr mode_t kLockObjectMode = 0600;
// How long a waiter sleeps before it looks at the holder again: a holder
// that ends without releasing is taken over within about this time. A look
// costs a few microseconds (one /proc file and one file-lock query).
inline constexpr std::chrono::milliseconds kRecoverySlice{100};
// How long a holder that cannot be checked is waited for before LockMutex
// gives up with -191. A holder is unchecked only when the object was tampered
// with (a record that names a live process whose session has ended), or when
// the system refuses to answer about the holder.
inline constexpr std::chrono::seconds kUncheckedHoldLimit{5};

// The highest session number; the next one after it is 1 again.
inline constexpr std::uint32_t kLastSession = 0x7FFFFFFF;
// The bit of the owner word that says a waiter may sleep on it.
inline constexpr std::uint32_t kSleeping = 0x80000000;

struct SharedLockState {
  std::uint32_t magic;
  std::uint32_t version;
  // The futex word: 0 when free, else the session of the handle that holds
  // the lock (lock_holder.h), with kSleeping when a waiter may sleep on it.
  // A take sets it with one compare-and-swap, a release clears it with one
  // exchange and wakes a waiter only when kSleeping was set. A waiter that
  // took the lock after a sleep keeps kSleeping (other waiters may sleep).
  std::uint32_t owner;
  std::uint32_t lastSession;  // the session last given to a handle
  // The holder's process, recorded by the taker just after it took the lock;
  // `session` says which take the record belongs to (written last).
  std::uint32_t session;
  // The complement of the owner word's session, stored by whoever changed
  // the owner word right after it (~0 once free). A session in the owner word
  // without its complement beside it is a word written over by another
  // program (or a taker caught between its two stores): never taken over.
  std::uint32_t ownerCheck;
  ProcessRecord holder;
};

// The file name of the lock object of user `uid` for `stem` ("/" and the
// lock's name): the stem, "." and the uid, and the layout ("/SemVornDal.0.v5").
std::string lockObjectName(const std::string& stem, uid_t uid);

// One handle's view of the object: its mapping and its own open file
// description, which carries the handle's session lock. The mapping is made
// from another description, which it keeps open as long as it exists (also
// in forked children), and which therefore never carries a session lock.
struct LockObject {
  SharedLockState* state = nullptr;
  File file;
  int fd() const { return fdOf(file); }
};

// Opens or creates the object at `path`, reserves its memory and maps its
// state. False when it cannot be created or reserved (a full tmpfs), or when
// the object found is not a plain file of the calling user with mode 0600 and
// a sound state.
bool openLockObject(const char* path, LockObject& object);

// Whether the object may be touched and trusted right now: it still has the
// state's size (a shortened object would fault, SIGBUS, where its mapping
// lies beyond its end), and its magic, version and numbers are ones this
// library writes (another program of the user may have written over it).
// A lock whose object fails this is neither taken nor released.
bool objectSound(const LockObject& object);
void closeLockObject(LockObject& object);

// Sleeps until the owner word moves on from `seen`, a release wakes this
// waiter, or `timeout` has passed. False on an operating-system error.
bool waitForRelease(SharedLockState& state, std::uint32_t seen, std::chrono::milliseconds timeout);

// Wakes one waiter that sleeps on the owner word.
void wakeOneWaiter(SharedLockState& state);

// Gives the handle whose open file description is `objectFd` a session of its
// own and begins it; 0 when no session could be begun. It makes no memory
// allocation (it also runs in a child just forked).
std::uint32_t beginHandleSession(SharedLockState& state, int objectFd);

namespace testing {
// Waits for a holder that cannot be checked only `limit` instead of
// kUncheckedHoldLimit; zero restores it (tests only).
void setUncheckedHoldLimit(std::chrono::milliseconds limit);
}  // namespace testing

}  // namespace platform::posix
