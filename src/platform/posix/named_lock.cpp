// The named lock on POSIX systems (behaviour in platform/named_lock.h; its
// design in src/platform/README.md).
#include "platform/named_lock.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>

#include "lock_handle.h"
#include "lock_holder.h"
#include "lock_location.h"
#include "lock_state.h"

namespace platform {
namespace posix {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long a take gives way to the waiter that the handle's last release
// woke (see lockNamedLock); far above the time a woken process takes to run
// even on a loaded machine, short beside any operation on the card.
constexpr milliseconds kHandOverGrace{5};

std::atomic<bool> failNextAllocation{false};
std::string lockObjectStem;  // empty: "/" and the name asked for
std::atomic<milliseconds::rep> uncheckedHoldLimitMs{milliseconds(kUncheckedHoldLimit).count()};

milliseconds uncheckedHoldLimit() { return milliseconds(uncheckedHoldLimitMs.load()); }

NamedLock* allocateHandle() {
  if (failNextAllocation.exchange(false)) return nullptr;
  return new (std::nothrow) NamedLock;
}

std::atomic_ref<std::uint32_t> ownerWord(SharedLockState& state) { return std::atomic_ref<std::uint32_t>(state.owner); }

std::uint32_t sessionOf(const NamedLock& handle) { return handle.session.load(std::memory_order_relaxed); }

std::atomic_ref<std::uint32_t> ownerCheck(SharedLockState& state) {
  return std::atomic_ref<std::uint32_t>(state.ownerCheck);
}

// Marks the owner word's session as written by this library (see
// SharedLockState::ownerCheck).
void markOwner(SharedLockState& state, std::uint32_t session) {
  ownerCheck(state).store(~session, std::memory_order_release);
}

bool ownerMarked(SharedLockState& state, std::uint32_t session) {
  return ownerCheck(state).load(std::memory_order_acquire) == ~session;
}

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

bool sameProcess(const ProcessRecord& one, const ProcessRecord& other) {
  return one.pid == other.pid && one.startTime == other.startTime && one.pidNamespace == other.pidNamespace;
}

// Whether the take of `session` may still be at work.
Liveness holderLiveness(NamedLock& handle, std::uint32_t session, const ProcessRecord& self) {
  SharedLockState& state = *handle.object.state;
  ProcessRecord holder;
  const bool recorded = recordedHolder(state, session, holder);
  if (session == sessionOf(handle)) {
    // Taken through this handle's own description, which no other process
    // shares and whose lock the kernel does not report to it: a thread of
    // this process holds it (or this one locks again, which waits as on
    // Windows). A record of another process is damaged; one not written yet
    // is a take of this process about to record itself.
    return !recorded || sameProcess(holder, self) ? Liveness::kAlive : Liveness::kUnknown;
  }
  const Liveness sessionState = sessionLiveness(handle.object.fd(), session);
  if (sessionState != Liveness::kEnded) return sessionState;
  // The session has ended: its take is over, unless the record names a
  // process of this PID namespace that still lives (or cannot be told apart
  // from one that does), which no sound take leaves behind.
  if (!recorded || holder.pidNamespace != self.pidNamespace) return Liveness::kEnded;
  return processLiveness(holder, self) == Liveness::kEnded ? Liveness::kEnded : Liveness::kUnknown;
}

// Takes a free lock; `sleeping` keeps kSleeping set for the waiters that may
// still sleep.
bool tryTakeFree(NamedLock& handle, bool sleeping) {
  std::uint32_t expected = 0;
  if (!ownerWord(*handle.object.state)
           .compare_exchange_strong(expected, sessionOf(handle) | (sleeping ? kSleeping : 0),
                                    std::memory_order_acquire, std::memory_order_relaxed))
    return false;
  markOwner(*handle.object.state, sessionOf(handle));
  return true;
}

std::string objectStemFor(const char* name) {
  if (!lockObjectStem.empty()) return lockObjectStem;
  std::string stem(1, '/');
  stem.append(name);
  return stem;
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
void setLockObjectPrefix(const std::string& prefix) { posix::lockObjectStem = prefix; }
}  // namespace testing

using namespace posix;

NamedLockOpening openNamedLock(const char* name, NamedLock*& lock) noexcept {
  if (anyKept()) sweepKept();
  NamedLock* handle = allocateHandle();
  if (handle == nullptr) return NamedLockOpening::kOutOfMemory;
  bool opened = false;
  try {
    handle->path = lockObjectPath(objectStemFor(name), geteuid());
    opened = openLockObject(handle->path.c_str(), handle->object);
  } catch (...) {  // the path could not be allocated
  }
  std::uint32_t session = 0;
  if (opened) session = beginHandleSession(*handle->object.state, handle->object.fd());
  if (session == 0) {
    closeLockObject(handle->object);
    delete handle;
    return NamedLockOpening::kUnavailable;
  }
  handle->session.store(session, std::memory_order_relaxed);
  registerHandle(*handle);
  lock = handle;
  return NamedLockOpening::kOpened;
}

bool lockNamedLock(NamedLock& handle) noexcept {
  if (handle.needsSession.load(std::memory_order_relaxed) && !renewSession(handle)) return false;
  if (!objectSound(handle.object)) return false;
  SharedLockState& state = *handle.object.state;
  // This handle's last release woke a waiter: that waiter goes first. The
  // lock stays free only as long as the woken process takes to run, so this
  // take gives way until someone else has taken it (or for kHandOverGrace at
  // most: the woken one may have been stopped or killed). Without it, a
  // program that takes the lock again right after its release would take it
  // back every time before the woken one runs.
  if (handle.wokeWaiter.exchange(false, std::memory_order_relaxed)) {
    const Clock::time_point until = Clock::now() + kHandOverGrace;
    while (ownerWord(state).load(std::memory_order_acquire) == 0 && Clock::now() < until) sched_yield();
  }
  if (tryTakeFree(handle, false)) {
    recordHolder(state, sessionOf(handle), thisProcess());
    return true;
  }
  if (anyKept()) sweepKept();
  const ProcessRecord self = thisProcess();
  const milliseconds limit = uncheckedHoldLimit();
  // Since when the same session has been held by a holder that cannot be
  // checked; such a holder is waited for only up to the limit.
  bool unchecked = false;
  Clock::time_point uncheckedSince{};
  std::uint32_t uncheckedSession = 0;
  bool slept = false;
  for (;;) {
    // Looked at again after every sleep: the object may have been shortened
    // or written over meanwhile, and a damaged one never admits a holder.
    if (!objectSound(handle.object)) return false;
    std::uint32_t seen = ownerWord(state).load(std::memory_order_acquire);
    if (seen == 0) {
      if (tryTakeFree(handle, slept)) break;
      continue;
    }
    const std::uint32_t session = seen & ~kSleeping;
    // An owner word without its mark is one no sound take leaves for longer
    // than between its two stores: waited for as a holder that cannot be
    // checked, never taken over.
    const Liveness holder =
        ownerMarked(state, session) ? holderLiveness(handle, session, self) : Liveness::kUnknown;
    if (holder == Liveness::kEnded) {
      // Take over, keeping the word's kSleeping for the waiters.
      if (ownerWord(state).compare_exchange_strong(seen, sessionOf(handle) | (seen & kSleeping),
                                                   std::memory_order_acquire, std::memory_order_relaxed)) {
        markOwner(state, sessionOf(handle));
        break;
      }
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
    // Tell the releaser to wake someone before sleeping; the word changed in
    // between when this fails.
    if ((seen & kSleeping) == 0) {
      if (!ownerWord(state).compare_exchange_strong(seen, seen | kSleeping, std::memory_order_relaxed)) continue;
      seen |= kSleeping;
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
  recordHolder(state, sessionOf(handle), self);
  return true;
}

bool unlockNamedLock(NamedLock& handle) noexcept {
  // Whoever holds it, and also when nobody does: a free lock stays free. The
  // record of the last holder stays: a free lock is not looked at.
  if (!objectSound(handle.object)) return false;
  SharedLockState& state = *handle.object.state;
  // The mark first: a taker that comes after the exchange marks its own, and
  // no mark of this release may land after it.
  markOwner(state, 0);
  if ((ownerWord(state).exchange(0, std::memory_order_release) & kSleeping) != 0) {
    wakeOneWaiter(state);
    handle.wokeWaiter.store(true, std::memory_order_relaxed);
  }
  // Descriptions kept for a take that this release ended.
  if (anyKept()) sweepKept();
  return true;
}

void closeNamedLock(NamedLock* handle) noexcept {
  if (handle == nullptr) return;
  // Only this handle goes. A lock held through it stays held: the handle and
  // its session are kept until that take is over.
  giveBackHandle(handle);
  if (anyKept()) sweepKept();
}

}  // namespace platform
