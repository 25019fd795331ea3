// The exports of the lock "SemVornDal" (design in lock.h).
#include "pelu7/lock.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

#include "pelu7/lock_holder.h"
#include "pelu7/lock_state.h"
#include "pelu7/log.h"
#include "vorn_dal_pelu7.h"

namespace pelu7 {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What a lock handle points to: the caller's own view of the shared object,
// and the session this handle began and has not ended yet (0: none). The
// session field is read and written only under the state's guard.
struct LockHandle {
  LockObject object;
  std::uint64_t session;
};

std::atomic<bool> failNextAllocation{false};
std::string lockObjectPrefix = kLockObjectPrefix;
std::atomic<milliseconds::rep> uncheckedHoldLimitMs{milliseconds(kUncheckedHoldLimit).count()};

milliseconds uncheckedHoldLimit() { return milliseconds(uncheckedHoldLimitMs.load()); }

void* allocateHandle() {
  if (failNextAllocation.exchange(false)) return nullptr;
  return std::malloc(sizeof(LockHandle));
}

LockHandle& handleOf(void* lock) { return *static_cast<LockHandle*>(lock); }

// Whether the current holder of a held lock may still be at work. The
// holder's session keeps it alive while any process that shares the holding
// handle lives (a child forked under the lock outlives its parent); so does
// the holder process itself while it lives (it may have destroyed the handle
// it took the lock with). Only a holder whose process has surely ended and
// whose session is gone is over.
Liveness holderLiveness(const LockHandle& handle, const SharedLockState& state, const ProcessRecord& self) {
  if (handle.session != 0 && handle.session == state.session) return Liveness::kAlive;
  const Liveness session = sessionLiveness(handle.object.fd, state.session);
  if (session == Liveness::kAlive) return Liveness::kAlive;
  const Liveness process = processLiveness(state.holder, self);
  if (process == Liveness::kEnded && session == Liveness::kEnded) return Liveness::kEnded;
  return process == Liveness::kAlive ? Liveness::kAlive : Liveness::kUnknown;
}

void endHandleSession(LockHandle& handle) {
  if (handle.session != 0) endSession(handle.object.fd, handle.session);
  handle.session = 0;
}

enum class Attempt { kTaken, kHeld, kHeldUnchecked, kFailed };

// Takes the lock for the calling process through `handle` (under the guard),
// or reports why it must wait. The session and holder record are written
// before the held flag, so a process that dies half-way through leaves a
// state that reads correctly.
Attempt tryTake(LockHandle& handle, SharedLockState& state, const ProcessRecord& self) {
  if (state.held != 0) {
    const Liveness holder = holderLiveness(handle, state, self);
    if (holder == Liveness::kAlive) return Attempt::kHeld;
    if (holder == Liveness::kUnknown) return Attempt::kHeldUnchecked;
  }
  const std::uint64_t next = state.session >= kLastSession ? 1 : state.session + 1;
  endHandleSession(handle);  // left over from a lock that another handle released
  if (!beginSession(handle.object.fd, next)) return Attempt::kFailed;
  handle.session = next;
  state.holder = self;
  state.session = next;
  state.held = 1;
  return Attempt::kTaken;
}

void release(SharedLockState& state) {
  state.held = 0;
  state.holder = ProcessRecord{};
  announceRelease(state);
}

}  // namespace

namespace testing {
void failNextLockHandleAllocation() { failNextAllocation = true; }
void setLockObjectPrefix(const std::string& prefix) {
  lockObjectPrefix = prefix.empty() ? kLockObjectPrefix : prefix;
}
void setUncheckedHoldLimit(milliseconds limit) {
  uncheckedHoldLimitMs = (limit.count() > 0 ? limit : milliseconds(kUncheckedHoldLimit)).count();
}
}  // namespace testing

}  // namespace pelu7

using namespace pelu7;

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_CreateMutex(void** lockOut) {
  if (lockOut == nullptr) return VORN_DAL_ERR_CREATE_LOCK;
  void* cell = allocateHandle();
  if (cell == nullptr) {
    logText("******>malloc");
    return VORN_DAL_ERR_CREATE_LOCK;
  }
  LockObject object;
  bool opened = false;
  try {
    opened = openLockObject(lockObjectName(lockObjectPrefix, geteuid()).c_str(), object);
  } catch (...) {  // the name could not be allocated
  }
  if (!opened) {
    std::free(cell);
    return VORN_DAL_ERR_CREATE_LOCK;
  }
  *lockOut = new (cell) LockHandle{object, 0};
  return 0;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_LockMutex(void* lock) {
  if (lock == nullptr) return VORN_DAL_ERR_LOCK;
  LockHandle& handle = handleOf(lock);
  SharedLockState& state = *handle.object.state;
  const ProcessRecord self = currentProcess();
  const milliseconds limit = uncheckedHoldLimit();
  // Since when the same session has been held by a holder that cannot be
  // checked; such a holder is waited for only up to the limit.
  bool unchecked = false;
  Clock::time_point uncheckedSince{};
  std::uint64_t uncheckedSession = 0;
  for (;;) {
    std::uint32_t seen = 0;
    {
      StateGuard guard(state, limit);
      if (!guard.ok()) return VORN_DAL_ERR_LOCK;
      const Attempt attempt = tryTake(handle, state, self);
      if (attempt == Attempt::kTaken) return 0;
      if (attempt == Attempt::kFailed) return VORN_DAL_ERR_LOCK;
      if (attempt == Attempt::kHeldUnchecked) {
        if (!unchecked || uncheckedSession != state.session) {
          unchecked = true;
          uncheckedSince = Clock::now();
          uncheckedSession = state.session;
        } else if (Clock::now() - uncheckedSince >= limit) {
          return VORN_DAL_ERR_LOCK;
        }
      } else {
        unchecked = false;
      }
      seen = state.wakeSequence;
    }
    // Woken by a release, or after a while to look at the holder again.
    milliseconds timeout = kRecoverySlice;
    if (unchecked) {
      const auto left = std::chrono::ceil<milliseconds>(uncheckedSince + limit - Clock::now());
      timeout = std::clamp(left, milliseconds(1), timeout);
    }
    if (!waitForRelease(state, seen, timeout)) return VORN_DAL_ERR_LOCK;
  }
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_UnLockMutex(void* lock) {
  if (lock == nullptr) return VORN_DAL_ERR_LOCK;
  LockHandle& handle = handleOf(lock);
  SharedLockState& state = *handle.object.state;
  {
    StateGuard guard(state, uncheckedHoldLimit());
    if (!guard.ok()) return VORN_DAL_ERR_LOCK;
    // Whoever holds it, and also when nobody does: a free lock stays free.
    release(state);
    endHandleSession(handle);
  }
  wakeOneWaiter(state);
  return 0;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_DestroyMutex(void* lock) {
  if (lock == nullptr) return 0;
  // Only this handle goes. A lock held through it stays held: its session
  // ends with the handle's open file (unless a forked child shares it), but
  // the record of the holding process keeps the lock while that process lives.
  closeLockObject(handleOf(lock).object);
  std::free(lock);
  return 0;
}
