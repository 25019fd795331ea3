// The exports of the lock "SemVornDal" (design in lock.h).
#include "pelu7/lock.h"

#include <atomic>
#include <cstdlib>

#include "pelu7/lock_state.h"
#include "pelu7/log.h"
#include "vorn_dal_pelu7.h"

namespace pelu7 {
namespace {

// What a lock handle points to: the caller's own mapping of the shared state.
struct LockHandle {
  SharedLockState* state;
};

std::atomic<bool> failNextAllocation{false};
std::string lockObjectName = kLockObjectName;

void* allocateHandle() {
  if (failNextAllocation.exchange(false)) return nullptr;
  return std::malloc(sizeof(LockHandle));
}

SharedLockState* stateOf(void* lock) { return static_cast<LockHandle*>(lock)->state; }

// Takes the lock for the calling process, or reports that it must wait: the
// lock is held by a process that may still release it. The holder record is
// written before the held flag and cleared after it, so a process that dies
// half-way through leaves a state that reads correctly.
bool tryTake(SharedLockState& state, const ProcessRecord& self) {
  if (state.held != 0 && !processHasEnded(state.holder, self)) return false;
  state.holder = self;
  state.held = 1;
  return true;
}

void release(SharedLockState& state) {
  state.held = 0;
  state.holder = ProcessRecord{};
  announceRelease(state);
}

}  // namespace

namespace testing {
void failNextLockHandleAllocation() { failNextAllocation = true; }
void setLockObjectName(const std::string& name) { lockObjectName = name.empty() ? kLockObjectName : name; }
}  // namespace testing

}  // namespace pelu7

using namespace pelu7;

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_CreateMutex(void** lockOut) {
  if (lockOut == nullptr) return VORN_DAL_ERR_CREATE_LOCK;
  void* cell = allocateHandle();
  if (cell == nullptr) {
    PELU7_LOG("******>malloc");
    return VORN_DAL_ERR_CREATE_LOCK;
  }
  SharedLockState* state = mapSharedLockState(lockObjectName.c_str());
  if (state == nullptr) {
    std::free(cell);
    return VORN_DAL_ERR_CREATE_LOCK;
  }
  *lockOut = new (cell) LockHandle{state};
  return 0;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_LockMutex(void* lock) {
  if (lock == nullptr) return VORN_DAL_ERR_LOCK;
  SharedLockState& state = *stateOf(lock);
  const ProcessRecord self = currentProcess();
  for (;;) {
    std::uint32_t seen = 0;
    {
      StateGuard guard(state);
      if (!guard.ok()) return VORN_DAL_ERR_LOCK;
      if (tryTake(state, self)) return 0;
      seen = state.wakeSequence;
    }
    // Woken by a release, or after one slice to look at the holder again.
    if (!waitForRelease(state, seen)) return VORN_DAL_ERR_LOCK;
  }
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_UnLockMutex(void* lock) {
  if (lock == nullptr) return VORN_DAL_ERR_LOCK;
  SharedLockState& state = *stateOf(lock);
  {
    StateGuard guard(state);
    if (!guard.ok()) return VORN_DAL_ERR_LOCK;
    // Whoever holds it, and also when nobody does: a free lock stays free.
    release(state);
  }
  wakeOneWaiter(state);
  return 0;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_DestroyMutex(void* lock) {
  if (lock == nullptr) return 0;
  // Only this handle goes; a lock held through it stays held.
  unmapSharedLockState(stateOf(lock));
  std::free(lock);
  return 0;
}
