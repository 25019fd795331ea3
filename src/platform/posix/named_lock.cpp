// The named lock on POSIX systems (behaviour in platform/named_lock.h).
//
// One lock per user. Each user has a lock object of their own, named after
// the effective user id: for the name "SemVornDal" the POSIX shared-memory
// object "/SemVornDal.UID" (/dev/shm/SemVornDal.UID). All
// processes of one user that see the same /dev/shm share it; processes of
// different users (root included) never share a lock, and no user can keep
// another from creating theirs. The object holds the owner word (the
// holder's session, which waiters also sleep on as a futex), the holder's
// record, the last session given out, and a robust process-shared mutex that
// serialises the waiters' looks at the holder. It stays in /dev/shm after
// the last handle is destroyed (it takes one page); the next creator reuses
// it. An object of an older layout (an older build's, left in /dev/shm) is
// refused like a damaged one.
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
// Who holds it. Each handle begins a session when it is opened: its own open
// file description of the object takes an OFD write lock on one byte
// numbered by the session, and keeps it for the handle's life. A child
// forked from a process with the handle inherits that description, and the
// kernel keeps the session's lock until every process that shares it has
// closed it or ended. Taking the lock records the holding process (process
// id, start time from /proc/PID/stat, PID namespace; looked up once per
// process and again after a fork) and the session of the handle it took the
// lock through. The holder counts as at work while its process lives
// (whatever became of its handle) or while its session lives (a forked child
// still working under the lock after the parent has ended). A child that
// closes the inherited handle, or execs (the descriptor is close-on-exec),
// leaves the session.
//
// The cost of a take and a release. Neither makes a system call when nobody
// waits: a take of a free lock is one compare-and-swap of the owner word
// and a few stores of the cached process record, a release one exchange; the
// session lock is taken once per handle, and a release wakes a waiter only
// when one has marked the word before it sleeps. Only a take that finds the
// lock held takes the guard and looks at the holder.
//
// A holder that ended. A waiter sleeps at most kRecoverySlice at a time and
// then looks at the holder again: when the holder's process has surely ended
// (no such process, a zombie, or another process under the same id) and its
// session is gone, it takes the lock over. So the lock comes free at most
// about one slice after its last worker ends, and at once for a process that
// starts to wait later. A lock that was released and re-taken is never taken
// over by mistake: the record names the new holder's process and session.
//
// A dead holder that took the lock through a description that the waiter
// shares (a relative forked with the same handle) cannot be told apart from
// one whose forked child still works under the lock: the kernel does not
// report a description's own lock to it. Such a holder is treated as one
// that cannot be checked.
//
// A holder that cannot be checked: one in another PID namespace, or a record
// without a start time, whose session is not alive. It is treated as held for
// kUncheckedHoldLimit (5 s) of one LockMutex call, which then returns -191; the
// same goes for a guard that does not come free within that limit (an object
// tampered with by its own user). LockMutex never waits for ever on what it
// cannot check. A holder process that lives is waited for as long as it
// lives, as a Windows semaphore would be.
#include "platform/named_lock.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "lock_holder.h"
#include "lock_state.h"

namespace platform {

// What a lock handle points to: the caller's own view of the shared object,
// and the session that its open file description holds for its life.
class NamedLock {
 public:
  posix::LockObject object;
  std::uint32_t session = 0;
};

namespace posix {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::atomic<bool> failNextAllocation{false};
std::string lockObjectPrefix;  // empty: "/" and the name asked for
std::atomic<milliseconds::rep> uncheckedHoldLimitMs{milliseconds(kUncheckedHoldLimit).count()};

milliseconds uncheckedHoldLimit() { return milliseconds(uncheckedHoldLimitMs.load()); }

NamedLock* allocateHandle() {
  if (failNextAllocation.exchange(false)) return nullptr;
  return new (std::nothrow) NamedLock;
}

std::atomic_ref<std::uint32_t> ownerWord(SharedLockState& state) { return std::atomic_ref<std::uint32_t>(state.owner); }

// Records the calling process as the holder that took the lock in `session`.
// Each field is stored on its own (a waiter may read them at the same time);
// the session goes last, so a record whose session matches the owner word is
// whole unless a later take of the same session is writing it.
void recordHolder(SharedLockState& state, std::uint32_t session, const ProcessRecord& self) {
  std::atomic_ref<std::int32_t>(state.holder.pid).store(self.pid, std::memory_order_relaxed);
  std::atomic_ref<std::uint64_t>(state.holder.startTime).store(self.startTime, std::memory_order_relaxed);
  std::atomic_ref<std::uint64_t>(state.holder.pidNamespace).store(self.pidNamespace, std::memory_order_relaxed);
  std::atomic_ref<std::uint32_t>(state.session).store(session, std::memory_order_release);
}

// The record of the holder of `session`; false when the taker has not
// written it (yet, or ever: it died in between).
bool recordedHolder(SharedLockState& state, std::uint32_t session, ProcessRecord& holder) {
  if (std::atomic_ref<std::uint32_t>(state.session).load(std::memory_order_acquire) != session) return false;
  holder.pid = std::atomic_ref<std::int32_t>(state.holder.pid).load(std::memory_order_relaxed);
  holder.startTime = std::atomic_ref<std::uint64_t>(state.holder.startTime).load(std::memory_order_relaxed);
  holder.pidNamespace = std::atomic_ref<std::uint64_t>(state.holder.pidNamespace).load(std::memory_order_relaxed);
  return true;
}

// Whether the holder of `session` may still be at work. The holder's
// session keeps it alive while any process that shares the holding handle
// lives (a child forked under the lock outlives its parent); so does the
// holder process itself while it lives (it may have closed the handle it
// took the lock with). Only a holder whose process has surely ended and
// whose session is gone is over; a taker that died before it wrote its
// record is over once its session is gone.
Liveness holderLiveness(NamedLock& handle, std::uint32_t session, const ProcessRecord& self) {
  SharedLockState& state = *handle.object.state;
  ProcessRecord holder;
  const bool recorded = recordedHolder(state, session, holder);
  if (session == handle.session) {
    // Taken through this very description, whose own lock the kernel does
    // not report to it: only a live holder process tells anything.
    return recorded && processLiveness(holder, self) == Liveness::kAlive ? Liveness::kAlive : Liveness::kUnknown;
  }
  const Liveness sessionState = sessionLiveness(handle.object.fd(), session);
  if (sessionState == Liveness::kAlive) return Liveness::kAlive;
  if (!recorded) return sessionState;
  const Liveness process = processLiveness(holder, self);
  if (process == Liveness::kEnded && sessionState == Liveness::kEnded) return Liveness::kEnded;
  return process == Liveness::kAlive ? Liveness::kAlive : Liveness::kUnknown;
}

// Takes a free lock; `sleeping` keeps kSleeping set for the waiters that may
// still sleep.
bool tryTakeFree(NamedLock& handle, bool sleeping) {
  std::uint32_t expected = 0;
  return ownerWord(*handle.object.state)
      .compare_exchange_strong(expected, handle.session | (sleeping ? kSleeping : 0), std::memory_order_acquire,
                               std::memory_order_relaxed);
}

std::string objectPrefixFor(const char* name) {
  if (!lockObjectPrefix.empty()) return lockObjectPrefix;
  std::string prefix(1, '/');
  prefix.append(name);
  return prefix;
}

}  // namespace

namespace testing {
void setUncheckedHoldLimit(milliseconds limit) {
  uncheckedHoldLimitMs = (limit.count() > 0 ? limit : milliseconds(kUncheckedHoldLimit)).count();
}
}  // namespace testing

}  // namespace posix

namespace testing {
void failNextLockHandleAllocation() { posix::failNextAllocation = true; }
void setLockObjectPrefix(const std::string& prefix) { posix::lockObjectPrefix = prefix; }
}  // namespace testing

using namespace posix;

NamedLockOpening openNamedLock(const char* name, NamedLock*& lock) noexcept {
  NamedLock* handle = allocateHandle();
  if (handle == nullptr) return NamedLockOpening::kOutOfMemory;
  bool opened = false;
  try {
    opened = openLockObject(lockObjectName(objectPrefixFor(name), geteuid()).c_str(), handle->object);
  } catch (...) {  // the name could not be allocated
  }
  if (opened) handle->session = beginHandleSession(*handle->object.state, handle->object.fd());
  if (!opened || handle->session == 0) {
    closeLockObject(handle->object);
    delete handle;
    return NamedLockOpening::kUnavailable;
  }
  lock = handle;
  return NamedLockOpening::kOpened;
}

bool lockNamedLock(NamedLock& handle) noexcept {
  SharedLockState& state = *handle.object.state;
  if (tryTakeFree(handle, false)) {
    recordHolder(state, handle.session, thisProcess());
    return true;
  }
  const ProcessRecord self = thisProcess();
  const milliseconds limit = uncheckedHoldLimit();
  // Since when the same session has been held by a holder that cannot be
  // checked; such a holder is waited for only up to the limit.
  bool unchecked = false;
  Clock::time_point uncheckedSince{};
  std::uint32_t uncheckedSession = 0;
  bool slept = false;
  for (;;) {
    std::uint32_t seen = 0;
    {
      StateGuard guard(state, limit);
      if (!guard.ok()) return false;
      seen = ownerWord(state).load(std::memory_order_acquire);
      const std::uint32_t session = seen & ~kSleeping;
      if (seen == 0) {
        if (tryTakeFree(handle, slept)) break;
        continue;
      }
      const Liveness holder = holderLiveness(handle, session, self);
      if (holder == Liveness::kEnded) {
        // Take over, keeping the word's kSleeping for the waiters.
        if (ownerWord(state).compare_exchange_strong(seen, handle.session | (seen & kSleeping),
                                                     std::memory_order_acquire, std::memory_order_relaxed))
          break;
        continue;
      }
      if (holder == Liveness::kUnknown) {
        if (!unchecked || uncheckedSession != session) {
          unchecked = true;
          uncheckedSince = Clock::now();
          uncheckedSession = session;
        } else if (Clock::now() - uncheckedSince >= limit) {
          return false;
        }
      } else {
        unchecked = false;
      }
      // Tell the releaser to wake someone before sleeping; the word changed
      // in between when this fails.
      if ((seen & kSleeping) == 0) {
        if (!ownerWord(state).compare_exchange_strong(seen, seen | kSleeping, std::memory_order_relaxed)) continue;
        seen |= kSleeping;
      }
    }
    // Woken by a release, or after a while to look at the holder again.
    milliseconds timeout = kRecoverySlice;
    if (unchecked) {
      const auto left = std::chrono::ceil<milliseconds>(uncheckedSince + limit - Clock::now());
      timeout = std::clamp(left, milliseconds(1), timeout);
    }
    if (!waitForRelease(state, seen, timeout)) return false;
    slept = true;
  }
  recordHolder(state, handle.session, self);
  return true;
}

bool unlockNamedLock(NamedLock& handle) noexcept {
  // Whoever holds it, and also when nobody does: a free lock stays free. The
  // record of the last holder stays: a free lock is not looked at.
  SharedLockState& state = *handle.object.state;
  if ((ownerWord(state).exchange(0, std::memory_order_release) & kSleeping) != 0) wakeOneWaiter(state);
  return true;
}

void closeNamedLock(NamedLock* handle) noexcept {
  if (handle == nullptr) return;
  // Only this handle goes. A lock held through it stays held: its session
  // ends with the handle's open file (unless a forked child shares it), but
  // the record of the holding process keeps the lock while that process lives.
  closeLockObject(handle->object);
  delete handle;
}

}  // namespace platform
